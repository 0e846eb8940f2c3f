// A word written so that a POSIX shell reads it back as it is: the exported `ophost render` lines
// of the preview and the scripts a cluster job runs.
#pragma once

#include <string>

namespace ophost::render {

// `word` as a shell reads it back: as it is when it holds only safe characters (and does not
// begin with one a shell may expand there, such as '=' or '~'), otherwise in single quotes.
std::string shellQuote(const std::string& word);

}  // namespace ophost::render
