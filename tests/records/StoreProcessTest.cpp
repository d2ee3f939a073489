// The record store and users of the station who may not write: a read-only file, a folder the
// reader may not write.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "RecordsTestUtil.h"
#include "records/RecordStore.h"

namespace fs = std::filesystem;

namespace {

TEST(StoreOpening, AReadOnlyFileIsReadButNotWritten) {
  TScratchDir dir;
  const std::string path = dir.Path("ro.db");
  {
    auto store = OpenRecordStore(path, TStoreOpen::kCreate);
    store->Add(SampleRecord("kept", "00000001", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z"));
  }
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  // Root writes read-only files: the check runs as an unprivileged user then.
  const bool root = ::geteuid() == 0;
  const passwd* nobody = root ? ::getpwnam("nobody") : nullptr;
  if (root) {
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(::chown(dir.Dir().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (root && (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)) ::_exit(10);
    try {
      auto store = OpenRecordStore(path, TStoreOpen::kExisting);
      if (Uids(*store, {}) != std::vector<std::string>{"kept"}) ::_exit(11);
      try {
        store->Add(SampleRecord("new", "00000002", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z"));
        ::_exit(12);
      } catch (const ERecordError& e) {
        if (std::string(e.what()).find("readonly") == std::string::npos) ::_exit(13);
      }
    } catch (const std::exception&) {
      ::_exit(14);
    }
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  // 11: the record was not read; 12: the new one was written; 13: another error; 14: no open.
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(Uids(*OpenRecordStore(path, TStoreOpen::kExisting), {}), std::vector<std::string>{"kept"});
}

// A user who may read the records file but not write in its folder: a WAL file needs its
// shared-memory file beside it, so such a reader opens it as immutable (as the README says).
TEST(StoreOpening, AReaderWhoMayNotWriteTheFolderReadsAWalStoreAsImmutable) {
  TScratchDir dir;
  const std::string path = dir.Path("wal.db");
  {
    auto store = OpenRecordStore(path, TStoreOpen::kCreate);
    store->Add(SampleRecord("kept", "00000001", 1, kRecordCompleted, "2026-12-10T10:00:00.000Z"));
  }
  ASSERT_FALSE(fs::exists(path + "-shm"));  // the last writer closed cleanly
  const bool root = ::geteuid() == 0;
  const passwd* nobody = root ? ::getpwnam("nobody") : nullptr;
  if (root) {
    ASSERT_NE(nobody, nullptr);
  }
  // Readable by all, the folder writable by its owner (root, or the user running the tests).
  fs::permissions(dir.Dir(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                            fs::perms::others_read);
  // Run as root (CI), the reader is another user; otherwise it is the owner, and the case only
  // shows that the immutable form opens.
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (root && (::setgid(nobody->pw_gid) != 0 || ::setuid(nobody->pw_uid) != 0)) ::_exit(10);
    try {
      auto store = OpenRecordStore("file:" + path + "?immutable=1", TStoreOpen::kExisting);
      if (Uids(*store, {}) != std::vector<std::string>{"kept"}) ::_exit(11);
    } catch (const std::exception&) {
      ::_exit(12);
    }
    ::_exit(0);
  }
  int status = -1;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  // 11: the record was not read; 12: the store did not open.
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(fs::exists(path + "-shm"));
}

}  // namespace
