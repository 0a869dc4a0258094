// The platform core's installations component: one identifier per
// installation of the app, made at random on first request and kept in its
// own preference suite ("com.tarvix.qlf.installations"). A new identifier
// (the first one, or one made after deleteInstallationID) is announced
// with "QLFInstallationIDDidChangeNotification" (no object, no user info).
//
// Thread-safe. The component's own state lives on its serial queue;
// completions run on the background global queue.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ferrolux/Object.h"

class DispatchQueue;

inline constexpr char QLFInstallationIDDidChangeNotification[] =
    "QLFInstallationIDDidChangeNotification";
inline constexpr char kQLFInstallationsSuiteName[] = "com.tarvix.qlf.installations";
inline constexpr char kQLFInstallationsIDKey[] = "installation_id";
inline constexpr char kQLFInstallationsErrorDomain[] = "com.tarvix.qlf.installations.ErrorDomain";
// Error codes.
inline constexpr long kQLFInstallationsErrorUnavailable = 1;

class QLFInstallations : public std::enable_shared_from_this<QLFInstallations> {
 public:
  // The identifier, or none and an error.
  using IDCompletion = std::function<void(const std::optional<std::string>& installationID,
                                          const std::optional<Error>& error)>;

  // The process's component; never destroyed.
  static std::shared_ptr<QLFInstallations> installations();

  QLFInstallations();
  QLFInstallations(const QLFInstallations&) = delete;
  QLFInstallations& operator=(const QLFInstallations&) = delete;

  // Answers the stored identifier, making and storing one first when
  // there is none. The completion runs on the background global queue.
  void installationIDWithCompletion(IDCompletion completion);
  // Forgets the identifier; the next request makes a new one.
  void deleteInstallationID();

  // Test-only: while failing, requests answer an error and store nothing.
  void TEST_setFailing(bool failing);

 private:
  // On queue_.
  std::optional<std::string> storedOrNewID(std::optional<Error>& error);

  std::shared_ptr<DispatchQueue> queue_;
  bool failing_ = false;  // queue_
};
