// An exception as a report context: the name, the reason and the call
// stack symbol lines of a failure caught at a library boundary. Travels
// as a library object of class "NSException".
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ferrolux/Object.h"

class TLMException final : public LibraryObject {
 public:
  TLMException(std::string name, std::string reason, std::vector<std::string> callStackSymbols);
  // The exception wrapped as a context object.
  static Object object(std::string name, std::string reason,
                       std::vector<std::string> callStackSymbols);

  const std::string& name() const { return name_; }
  const std::string& reason() const { return reason_; }
  // One line per frame: "<index> <image> <address> <symbol> + <offset>".
  const std::vector<std::string>& callStackSymbols() const { return callStackSymbols_; }

  std::string className() const override { return "NSException"; }
  // The reason, as the platform describes exceptions.
  std::string description() const override { return reason_; }

 private:
  std::string name_;
  std::string reason_;
  std::vector<std::string> callStackSymbols_;
};

// The first library symbol ("TLM" in any case) in the call stack, from
// the third line on; nothing when there is none.
std::optional<std::string> tlm_librarySymbolInCallStack(const TLMException& exception);
// The library symbol of the call stack, else the exception's name; nothing
// for no exception.
std::optional<std::string> lastTLMSymbolFromException(const TLMException* exception);
