// Test hooks of profile_store.cpp (what a new process would see, without
// starting one), and the fixture of the namespace tests: a state home of the
// test's own.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "base/codes.h"
#include "base/curl_handles.h"
#include "namespaces/namespace_store.h"

namespace hvcore::testing {

// Forgets the namespaces open in this process (closing those no one else
// holds), as a new run of the process would start.
void forget_open_namespaces();

// Opens the namespace as another process would: a Profile with its own
// connection and jar, outside the process's registry.
int32_t open_namespace_unshared(const std::string &name, const std::string &impersonate,
                                std::shared_ptr<Namespace> &out);

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline int mode_of(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Runs SQL on the database with a connection of the test's own.
inline void run_sql(const std::string &path, const std::string &sql) {
  sqlite3 *db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  char *err = nullptr;
  int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err);
  std::string msg = err ? err : "";
  sqlite3_free(err);
  sqlite3_close(db);
  ASSERT_EQ(rc, SQLITE_OK) << msg;
}

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "hv-profile-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
    state_ = root_ + "/state";
    setenv("XDG_STATE_HOME", state_.c_str(), 1);
    unsetenv("HALVANE_DISK_CACHE_BYTES");
    forget_open_namespaces();
    ensure_curl_global();
  }
  void TearDown() override {
    forget_open_namespaces();
    unsetenv("HALVANE_DISK_CACHE_BYTES");
    std::filesystem::remove_all(root_);
  }

  std::shared_ptr<Namespace> open(const std::string &name, const std::string &impersonate = "") {
    std::shared_ptr<Namespace> p;
    EXPECT_EQ(open_namespace(name, impersonate, p), kOk);
    return p;
  }
  std::shared_ptr<Namespace> open_unshared(const std::string &name) {
    std::shared_ptr<Namespace> p;
    EXPECT_EQ(open_namespace_unshared(name, "", p), kOk);
    return p;
  }
  EasyPtr easy_on(Namespace &p) {
    EasyPtr e(curl_easy_init());
    curl_easy_setopt(e.get(), CURLOPT_SHARE, p.share());
    return e;
  }

  std::string root_, state_;
};

}  // namespace hvcore::testing
