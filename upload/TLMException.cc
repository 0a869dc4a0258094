#include "upload/TLMException.h"

#include <cctype>
#include <sstream>
#include <utility>

namespace {

bool containsLibraryPrefix(const std::string& text) {
  for (std::size_t i = 0; i + 3 <= text.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) == 'T' &&
        std::toupper(static_cast<unsigned char>(text[i + 1])) == 'L' &&
        std::toupper(static_cast<unsigned char>(text[i + 2])) == 'M') {
      return true;
    }
  }
  return false;
}

std::vector<std::string> splitOnWhiteSpace(const std::string& line) {
  std::vector<std::string> pieces;
  std::istringstream stream(line);
  std::string piece;
  while (stream >> piece) pieces.push_back(piece);
  return pieces;
}

}  // namespace

TLMException::TLMException(std::string name, std::string reason,
                           std::vector<std::string> callStackSymbols)
    : name_(std::move(name)),
      reason_(std::move(reason)),
      callStackSymbols_(std::move(callStackSymbols)) {}

Object TLMException::object(std::string name, std::string reason,
                            std::vector<std::string> callStackSymbols) {
  return Object::library(std::make_shared<const TLMException>(std::move(name), std::move(reason),
                                                              std::move(callStackSymbols)));
}

std::optional<std::string> tlm_librarySymbolInCallStack(const TLMException& exception) {
  const std::vector<std::string>& lines = exception.callStackSymbols();
  // The first two frames are the throwing machinery itself.
  for (std::size_t index = 2; index < lines.size(); ++index) {
    const std::vector<std::string> pieces = splitOnWhiteSpace(lines[index]);
    if (pieces.size() < 5) continue;
    const std::string candidate = pieces[4] == "+" ? pieces[3] : pieces[3] + " " + pieces[4];
    if (containsLibraryPrefix(candidate)) return candidate;
  }
  return std::nullopt;
}

std::optional<std::string> lastTLMSymbolFromException(const TLMException* exception) {
  if (exception == nullptr) return std::nullopt;
  if (std::optional<std::string> symbol = tlm_librarySymbolInCallStack(*exception)) return symbol;
  return exception->name();
}
