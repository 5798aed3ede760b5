// The page `tarn monitor` serves on /: one self-contained HTML document
// (monitor_page.html, built into the program) that shows the status it is
// given at once and then asks /api/status every two seconds.
//
// Thread-safety: a plain function over constant text.
#pragma once

#include <string>

namespace tarntool {

// The page with `statusJson` (a document as /api/status gives it) embedded;
// "</" in it is written "<\/" so that no text in a name can end the script.
std::string monitorPage(const std::string &statusJson);

}  // namespace tarntool
