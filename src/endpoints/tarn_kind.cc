#include "endpoints/tarn_kind.h"

#include "base/config_values.h"
#include "base/relay_exception.h"
#include "base/relay_log.h"
#include "endpoints/tarn_destination.h"
#include "endpoints/tarn_source.h"
#include "tarn/tarn_tag.h"

namespace {

// The entry's tag: the one named, else one for its tarn name. A tarn name
// that can never be reached would otherwise be retried for ever (or, as a
// bare number, taken for an address elsewhere).
std::shared_ptr<TarnTag> tagOf(const ConnectionEntry &entry, const char *tarnKey,
                               const char *tagKey) {
  std::string tarnname = entry.text(tarnKey);
  if (!tarnname.empty()) {
    std::string problem = configvalues::tarnNameProblem(tarnname);
    if (!problem.empty()) entry.dieInvalid(tarnKey, tarnname, "a tarn name, but " + problem);
  }
  std::string tagname = entry.text(tagKey);
  if (tagname.empty()) return TarnTag::createTarnTagFromTarnName(tarnname);
  try {
    return TarnTag::getTarnTag(tagname, "", false);
  } catch (const RelayDNEException &) {
    entry.log().elog_die("Can't find an tarnserver specified for tarntag '" + tagname +
                         "' -- check command line");
  }
}

std::unique_ptr<PacketSource> makeSource(const ConnectionEntry &entry,
                                         const ReaderSettings &settings,
                                         const RelayContext &context) {
  std::shared_ptr<TarnTag> tag = tagOf(entry, "read_from_tarnname", "read_from_tarntag");
  std::string tagname = entry.text("read_from_tarntag");
  // A tag holds one read position: two readers through one named tag would
  // share it (and split its packets between them).
  if (!tagname.empty()) {
    std::string other = tag->claimForReader(entry.name());
    if (!other.empty()) {
      entry.log().die_initializing("Configuration error: connections '" + other + "' and '" +
                                   entry.name() + "' both read through tarn tag '" + tagname +
                                   "': each reader needs a tag of its own");
    }
  }
  // The statefile knows the reader by its explicit tag, else by its name; a
  // generated name changes when entries move, so it names nothing.
  std::string owner = !tagname.empty() ? tagname : entry.text("name") == "auto" ? "" : entry.name();
  return std::make_unique<TarnSource>(tag, entry.text("read_from_tarnname"), owner, settings,
                                      context);
}

std::unique_ptr<PacketDestination> makeDestination(const ConnectionEntry &entry,
                                                   const RelayContext &context) {
  std::shared_ptr<TarnTag> tag = tagOf(entry, "write_to_tarnname", "write_to_tarntag");
  return std::make_unique<TarnDestination>(tag, entry.text("write_to_tarnname"), context);
}

}  // namespace

// A tarn connection names its server by tarn name or by a tag of the
// command line, exactly one of them; defaults usually hold both keys.
const EndpointKind kTarnKind = {
    .name = "tarn",
    .reader = {.claimKeys = {"read_from_tarnname", "read_from_tarntag"},
               .keys = {"read_from_tarnname", "read_from_tarntag"},
               .required = {"read_from_tarnname", "read_from_tarntag"}},
    .writer = {.claimKeys = {"write_to_tarnname", "write_to_tarntag"},
               .keys = {"write_to_tarnname", "write_to_tarntag"},
               .required = {"write_to_tarnname", "write_to_tarntag"}},
    .makeSource = makeSource,
    .makeDestination = makeDestination,
};
