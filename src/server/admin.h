// The administration commands of tidewell-server: creating the store,
// users, views and session tokens. They work on the data folder directly
// (also while a server runs on it: SQLite serialises the writers).
//
// Each returns 0 and fills its result, or -1 with a one-line reason in
// `error`. Thread-safe (they share nothing).

#ifndef TIDEWELL_SERVER_ADMIN_H_
#define TIDEWELL_SERVER_ADMIN_H_

#include <cstdint>
#include <string>

namespace tidewell::server {

struct AdminResult {
  std::string user;
  std::string session;  // a new session token (shown once, stored hashed)
  uint64_t view_id = 0;
};

// Creates the data folder's store (refusing an existing one), a self-signed
// certificate and key for SSL, the user `user` and its view "home", and a
// session token for it.
int InitStore(const std::string& data_dir, const std::string& user, AdminResult& result, std::string& error);
// Adds a user with a view "home" and a session token. `quota` 0: the
// server's default.
int AddUserCommand(const std::string& data_dir, const std::string& user, uint64_t quota, AdminResult& result,
                   std::string& error);
// Adds a view named `name` to an existing user.
int AddViewCommand(const std::string& data_dir, const std::string& user, const std::string& name,
                   AdminResult& result, std::string& error);
// Issues another session token for an existing user.
int NewTokenCommand(const std::string& data_dir, const std::string& user, AdminResult& result, std::string& error);

// Writes a new EC P-256 key and a self-signed certificate for `common_name`
// valid for ten years, as PEM, the key readable by its owner only.
int WriteSelfSignedCertificate(const std::string& cert_path, const std::string& key_path,
                               const std::string& common_name, std::string& error);

}  // namespace tidewell::server

#endif  // TIDEWELL_SERVER_ADMIN_H_
