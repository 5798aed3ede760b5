// The page `tarn monitor` serves on /: one self-contained HTML document
// (monitor_page.html, built into the program) that shows the status and the
// traces it is given at once and then asks /api/status (and /api/traces)
// every two seconds.
//
// Thread-safety: a plain function over constant text.
#pragma once

#include <string>

namespace tarntool {

// The page with `statusJson` (a document as /api/status gives it) and
// `tracesJson` (as /api/traces gives it, or "null" when no stream is drawn)
// embedded; "</" in them is written "<\/" so that no text in a name can end
// the script.
std::string monitorPage(const std::string &statusJson, const std::string &tracesJson = "null");

}  // namespace tarntool
