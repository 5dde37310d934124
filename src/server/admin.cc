#include "server/admin.h"

#include <sys/stat.h>

#include <memory>

#include "platform/dir_make.h"
#include "server/server.h"
#include "server/server_connection.h"
#include "server/store.h"

namespace tidewell::server {

namespace {

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::unique_ptr<Store> OpenExisting(const std::string& data_dir, std::string& error) {
  const std::string db = DatabasePath(data_dir);
  if (!Exists(db)) {
    error = "no store in '" + data_dir + "' (run init first)";
    return nullptr;
  }
  std::unique_ptr<Store> store = OpenSqliteStore(db, false);
  if (store == nullptr) error = "cannot open '" + db + "'";
  return store;
}

// Adds a token for `user_id` to `txn`; the clear token goes to `session`.
int AddToken(StoreTxn& txn, int64_t user_id, std::string& session) {
  session = NewToken();
  if (session.empty()) return -1;
  return txn.AddToken(user_id, TokenHash(session));
}

int AddUserInStore(Store& store, const std::string& user, uint64_t quota, AdminResult& result, std::string& error) {
  if (user.empty()) {
    error = "empty user name";
    return -1;
  }
  int rc = store.Write([&](StoreTxn& txn) {
    UserRow existing;
    int found = txn.FindUserByName(user, existing);
    if (found != 0) {
      error = found > 0 ? "user '" + user + "' exists" : "the database failed";
      return -1;
    }
    int64_t id = 0;
    if (txn.AddUser(user, quota, id) != 0 || txn.AddView(id, "home", result.view_id) != 0 ||
        AddToken(txn, id, result.session) != 0) {
      error = "the database failed";
      return -1;
    }
    return 0;
  });
  result.user = user;
  return rc < 0 ? -1 : 0;
}

}  // namespace

int InitStore(const std::string& data_dir, const std::string& user, AdminResult& result, std::string& error) {
  if (FSMKDir(ustring(data_dir), true) != 0) {
    error = "cannot create '" + data_dir + "'";
    return -1;
  }
  const std::string db = DatabasePath(data_dir);
  if (Exists(db)) {
    error = "'" + data_dir + "' already holds a store";
    return -1;
  }
  std::unique_ptr<Store> store = OpenSqliteStore(db, true);
  if (store == nullptr) {
    error = "cannot create '" + db + "'";
    return -1;
  }
  if (!Exists(DefaultCertPath(data_dir)) &&
      WriteSelfSignedCertificate(DefaultCertPath(data_dir), DefaultKeyPath(data_dir), "tidewell-server", error) != 0) {
    return -1;
  }
  return AddUserInStore(*store, user, 0, result, error);
}

int AddUserCommand(const std::string& data_dir, const std::string& user, uint64_t quota, AdminResult& result,
                   std::string& error) {
  std::unique_ptr<Store> store = OpenExisting(data_dir, error);
  if (store == nullptr) return -1;
  return AddUserInStore(*store, user, quota, result, error);
}

int AddViewCommand(const std::string& data_dir, const std::string& user, const std::string& name,
                   AdminResult& result, std::string& error) {
  std::unique_ptr<Store> store = OpenExisting(data_dir, error);
  if (store == nullptr) return -1;
  if (name.empty()) {
    error = "empty view name";
    return -1;
  }
  int rc = store->Write([&](StoreTxn& txn) {
    UserRow u;
    if (txn.FindUserByName(user, u) != 1) {
      error = "no user '" + user + "'";
      return -1;
    }
    ViewRow v;
    if (txn.FindView(u.id, name, v) != 0) {
      error = "user '" + user + "' already has a view '" + name + "'";
      return -1;
    }
    if (txn.AddView(u.id, name, result.view_id) != 0) {
      error = "the database failed";
      return -1;
    }
    return 0;
  });
  result.user = user;
  return rc < 0 ? -1 : 0;
}

int NewTokenCommand(const std::string& data_dir, const std::string& user, AdminResult& result, std::string& error) {
  std::unique_ptr<Store> store = OpenExisting(data_dir, error);
  if (store == nullptr) return -1;
  int rc = store->Write([&](StoreTxn& txn) {
    UserRow u;
    if (txn.FindUserByName(user, u) != 1) {
      error = "no user '" + user + "'";
      return -1;
    }
    ViewRow v;
    if (txn.FindView(u.id, "home", v) == 1) result.view_id = v.id;
    if (AddToken(txn, u.id, result.session) != 0) {
      error = "the database failed";
      return -1;
    }
    return 0;
  });
  result.user = user;
  return rc < 0 ? -1 : 0;
}

}  // namespace tidewell::server
