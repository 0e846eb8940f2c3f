#include "shell_quote.h"

#include <regex>

namespace ophost::render {

std::string shellQuote(const std::string& word) {
  static const std::regex safe("[A-Za-z0-9_./:,+@%-][A-Za-z0-9_./:=,+@%#-]*");
  if (std::regex_match(word, safe)) return word;
  std::string out = "'";
  for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace ophost::render
