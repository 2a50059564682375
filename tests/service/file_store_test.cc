#include "service/file_store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/text.h"
#include "service/client_path.h"

namespace service {
namespace {

namespace fs = std::filesystem;
using common::Bytes;
using common::Variant;

Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

Variant Compressed(const Bytes& content) {
  Bytes stream = content;
  CompressStreamInPlace(stream, 2);
  return StreamToByteArray(stream);
}

Bytes Decompressed(const Variant& v) {
  std::optional<Bytes> stream = ByteArrayToStream(v);
  EXPECT_TRUE(stream.has_value());
  if (!stream) return {};
  DecompressStreamInPlace(*stream);
  return *stream;
}

// Fails chosen system calls: a write after `writes_before_full` successful writes runs out of
// space; a rename or unlink fails with the given error.
class FaultyIo : public FileIo {
 public:
  ssize_t Write(int fd, const void* data, size_t size) override {
    if (writes_before_full >= 0 && writes++ >= writes_before_full) {
      errno = ENOSPC;
      return -1;
    }
    return FileIo::Write(fd, data, size);
  }
  int Rename(const char* from, const char* to) override {
    if (rename_errno != 0) {
      errno = rename_errno;
      return -1;
    }
    return FileIo::Rename(from, to);
  }
  int Unlink(const char* path) override {
    if (unlink_errno != 0) {
      errno = unlink_errno;
      return -1;
    }
    return FileIo::Unlink(path);
  }
  int writes_before_full = -1;
  int writes = 0;
  int rename_errno = 0;
  int unlink_errno = 0;
};

// A temporary root holding the application folder "app/" (with its Upload folder) and, beside
// it, a file that no client path may reach.
class FileStoreTest : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/filestore-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    app_ = root_ / "app";
    fs::create_directories(app_ / "Upload");
    Write(root_ / "secret.txt", "outside");
  }
  void TearDown() override { fs::remove_all(root_); }

  FileStore Store(FileIo* io = nullptr, size_t max_payload = kDefaultMaxPayloadSize) {
    return FileStore(app_.string() + "/", io, max_payload);
  }
  static void Write(const fs::path& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
  }
  static std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Names in a folder, to prove no temporary file was left behind.
  static size_t EntryCount(const fs::path& folder) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
  }
  // A socket file: it exists and is no folder, but no one can open it for reading.
  static void MakeUnreadable(const fs::path& p) {
    const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(p.string().size(), sizeof addr.sun_path);
    std::strcpy(addr.sun_path, p.c_str());
    ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(s);
  }

  fs::path root_;
  fs::path app_;
};

TEST_F(FileStoreTest, UploadStoresTheDecompressedContent) {
  FileStore store = Store();
  EXPECT_TRUE(store.UploadFile(Compressed(ToBytes("first version")), "doc.txt"));
  EXPECT_EQ(Read(app_ / "Upload" / "doc.txt"), "first version");
  EXPECT_TRUE(store.UploadFile(Compressed(ToBytes("v2")), "doc.txt"));
  EXPECT_EQ(Read(app_ / "Upload" / "doc.txt"), "v2");
  EXPECT_EQ(EntryCount(app_ / "Upload"), 1u);
}

TEST_F(FileStoreTest, UploadOfEmptyContentCreatesAnEmptyFile) {
  FileStore store = Store();
  EXPECT_TRUE(store.UploadFile(Compressed({}), "zero.bin"));
  EXPECT_TRUE(fs::exists(app_ / "Upload" / "zero.bin"));
  EXPECT_EQ(fs::file_size(app_ / "Upload" / "zero.bin"), 0u);
  // An array without elements is empty input to decompression: an empty file as well.
  Write(app_ / "Upload" / "was.bin", "old");
  EXPECT_TRUE(store.UploadFile(Variant::ByteArray({}), "was.bin"));
  EXPECT_EQ(fs::file_size(app_ / "Upload" / "was.bin"), 0u);
}

TEST_F(FileStoreTest, FailedUploadReturnsFalseAndKeepsThePreviousFile) {
  Bytes not_zlib = ToBytes("plain bytes, no zlib header");
  const std::pair<const char*, Variant> cases[] = {
      {"null", Variant::Null()},
      {"string", Variant::String(u"abc")},
      {"not compressed", Variant::ByteArray(not_zlib)},
      {"over the payload limit", Compressed(Bytes(5000, 'z'))},
  };
  for (const auto& [name, payload] : cases) {
    SCOPED_TRACE(name);
    Write(app_ / "Upload" / "keep.txt", "previous");
    FileStore store = Store(nullptr, 4096);
    EXPECT_FALSE(store.UploadFile(payload, "keep.txt"));
    EXPECT_EQ(Read(app_ / "Upload" / "keep.txt"), "previous");
    EXPECT_EQ(EntryCount(app_ / "Upload"), 1u);
  }
}

TEST_F(FileStoreTest, UploadOnFullDiskKeepsThePreviousFile) {
  Write(app_ / "Upload" / "big.bin", "previous");
  FaultyIo io;
  io.writes_before_full = 1;  // the second 1 MiB piece does not fit
  FileStore store = Store(&io);
  EXPECT_FALSE(store.UploadFile(Compressed(Bytes(3 << 20, 'b')), "big.bin"));
  EXPECT_EQ(Read(app_ / "Upload" / "big.bin"), "previous");
  EXPECT_EQ(EntryCount(app_ / "Upload"), 1u);

  FaultyIo rename_fails;
  rename_fails.rename_errno = EXDEV;
  EXPECT_FALSE(Store(&rename_fails).UploadFile(Compressed(ToBytes("new")), "big.bin"));
  EXPECT_EQ(Read(app_ / "Upload" / "big.bin"), "previous");
  EXPECT_EQ(EntryCount(app_ / "Upload"), 1u);
}

TEST_F(FileStoreTest, UploadThatCannotCreateItsFileIsACallError) {
  FileStore store = Store();
  fs::create_directory(app_ / "Upload" / "folder");
  EXPECT_THROW(store.UploadFile(Compressed(ToBytes("x")), "folder"), EFileStoreError);
  EXPECT_THROW(store.UploadFile(Compressed(ToBytes("x")), "missing\\a.txt"), EFileStoreError);
  // Checked before the payload: even a bad payload reports the missing folder.
  fs::remove_all(app_ / "Upload");
  EXPECT_THROW(store.UploadFile(Variant::Null(), "a.txt"), EFileStoreError);
}

TEST_F(FileStoreTest, DownloadGivesCompressedContentAndSize) {
  Write(app_ / "Upload" / "ten.txt", "0123456789");
  FileStore store = Store();
  int32_t size = -1;
  const Variant result = store.DownLoadFile("ten.txt", size);
  EXPECT_EQ(size, 10);
  ASSERT_TRUE(result.IsByteArray());
  EXPECT_EQ(result.bytes()[0], 0x78);
  EXPECT_EQ(result.bytes()[1], 0x9C);
  EXPECT_EQ(Decompressed(result), ToBytes("0123456789"));

  size = -1;
  EXPECT_TRUE(store.DownLoadFile("absent.txt", size).IsNull());
  EXPECT_EQ(size, -1);
}

TEST_F(FileStoreTest, DownloadOfUnreadableFileIsACallError) {
  MakeUnreadable(app_ / "Upload" / "sock");
  int32_t size = -1;
  EXPECT_THROW(Store().DownLoadFile("sock", size), EFileStoreError);
  EXPECT_EQ(size, -1);
}

TEST_F(FileStoreTest, CheckUploadListsParallelNamesTimesAndSizes) {
  Write(app_ / "Upload" / "a.txt", "abc");
  Write(app_ / "Upload" / "b.dat", "0123456789AB");
  fs::create_directory(app_ / "Upload" / "sub");
  // A fixed modification time, 2024-03-05 14:07:30 local.
  std::tm tm{};
  tm.tm_year = 124;
  tm.tm_mon = 2;
  tm.tm_mday = 5;
  tm.tm_hour = 14;
  tm.tm_min = 7;
  tm.tm_sec = 30;
  tm.tm_isdst = -1;
  const time_t when = std::mktime(&tm);
  for (const char* name : {"a.txt", "b.dat"}) {
    const timespec times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (app_ / "Upload" / name).c_str(), times, 0), 0);
  }

  std::string names, file_times, sizes;
  EXPECT_EQ(Store().CheckUpload(names, file_times, sizes), 2);
  // Enumeration order is the directory's; the three lists follow it together.
  const std::vector<std::string> order = ListFolder((app_ / "Upload").string(), "*.*");
  ASSERT_EQ(order.size(), 2u);
  const std::string size_of_first = order[0] == "a.txt" ? "3" : "12";
  const std::string size_of_second = order[0] == "a.txt" ? "12" : "3";
  EXPECT_EQ(names, order[0] + "|" + order[1]);
  EXPECT_EQ(sizes, size_of_first + "|" + size_of_second);
  EXPECT_EQ(file_times, "202403051407|202403051407");
}

TEST_F(FileStoreTest, CheckUploadWithoutFilesGivesEmptyLists) {
  std::string names = "x", file_times = "y", sizes = "z";
  EXPECT_EQ(Store().CheckUpload(names, file_times, sizes), 0);
  EXPECT_EQ(names + file_times + sizes, "");
  fs::remove_all(app_ / "Upload");
  EXPECT_EQ(Store().CheckUpload(names, file_times, sizes), 0);
  EXPECT_EQ(names + file_times + sizes, "");
}

TEST_F(FileStoreTest, FindFilesGivesAnsiNamesEachEndedByCrLf) {
  Write(app_ / "Upload" / "a.txt", "abc");
  Write(app_ / "Upload" / "b.TXT", "def");
  Write(app_ / "Upload" / "c.log", "ghi");
  Write(app_ / "Upload" / ".hidden.txt", "");
  fs::create_directory(app_ / "Upload" / "d.txt");
  FileStore store = Store();

  const Variant result = store.FindFiles("Upload", "*.txt");
  ASSERT_TRUE(result.IsByteArray());
  const std::string text(result.bytes().begin(), result.bytes().end());
  std::string expected;
  for (const std::string& name : ListFolder((app_ / "Upload").string(), "*.txt")) {
    expected += name + "\r\n";
  }
  EXPECT_EQ(text, expected);
  EXPECT_EQ(ListFolder((app_ / "Upload").string(), "*.txt").size(), 3u);

  // Folders in the pattern belong to the folder searched.
  const Variant nested = store.FindFiles("", "Upload\\c.*");
  EXPECT_EQ(std::string(nested.bytes().begin(), nested.bytes().end()), "c.log\r\n");

  const Variant none = store.FindFiles("NoSuchFolder", "*.*");
  ASSERT_TRUE(none.IsByteArray());
  EXPECT_EQ(none.array().bounds[0].high, -1);
}

TEST_F(FileStoreTest, FindFilesEncodesNamesInTheAnsiCodePage) {
  fs::create_directory(app_ / "cn");
  Write(app_ / "cn" / "数据.txt", "");
  const std::string previous = common::AnsiCodePage().name();
  ASSERT_TRUE(common::SetAnsiCodePage("GBK"));
  const Variant result = Store().FindFiles("cn", "*.*");
  common::SetAnsiCodePage(previous);
  EXPECT_EQ(std::string(result.bytes().begin(), result.bytes().end()), "\xCA\xFD\xBE\xDD.txt\r\n");
}

TEST_F(FileStoreTest, PostDataCreatesFoldersAndReadDataGivesTheBytesBack) {
  FileStore store = Store();
  std::string err = "stale";
  const Bytes content = {0x00, 0x01, 0xFF, 'x'};
  store.PostData(Variant::ByteArray(content), "one\\two", "f.bin", err);
  EXPECT_EQ(err, "");
  EXPECT_EQ(Read(app_ / "one" / "two" / "f.bin"), std::string("\x00\x01\xFF"
                                                              "x",
                                                              4));

  err = "stale";
  const Variant back = store.ReadData("one/two", "f.bin", err);
  EXPECT_EQ(err, "");
  EXPECT_EQ(back, Variant::ByteArray(content));

  // Stored exactly as received: no decompression.
  const Variant compressed = Compressed(ToBytes("zz"));
  store.PostData(compressed, "one\\two", "f.bin", err);
  EXPECT_EQ(store.ReadData("one\\two", "f.bin", err), compressed);
}

TEST_F(FileStoreTest, ReadDataOfMissingOrUnreadableFile) {
  FileStore store = Store();
  std::string err = "stale";
  EXPECT_TRUE(store.ReadData("nowhere", "x.bin", err).IsNull());
  EXPECT_EQ(err, "");

  MakeUnreadable(app_ / "sock");
  const Variant result = store.ReadData("", "sock", err);
  EXPECT_TRUE(result.IsEmpty());
  EXPECT_NE(err.find("sock"), std::string::npos) << err;
}

TEST_F(FileStoreTest, FailedPostDataReportsAndKeepsThePreviousFile) {
  fs::create_directory(app_ / "d");
  fs::create_directory(app_ / "d" / "folder");
  Write(app_ / "d" / "keep.bin", "previous");
  FaultyIo full;
  full.writes_before_full = 0;

  struct Case {
    const char* name;
    Variant payload;
    const char* file;
    FileIo* io;
  } cases[] = {
      {"not a byte array", Variant::String(u"text"), "keep.bin", nullptr},
      {"null", Variant::Null(), "keep.bin", nullptr},
      {"disk full", Variant::ByteArray(ToBytes("new")), "keep.bin", &full},
      {"target is a folder", Variant::ByteArray(ToBytes("new")), "folder", nullptr},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string err;
    Store(c.io).PostData(c.payload, "d", c.file, err);
    EXPECT_NE(err, "");
    EXPECT_EQ(Read(app_ / "d" / "keep.bin"), "previous");
    EXPECT_EQ(EntryCount(app_ / "d"), 2u);
  }
}

TEST_F(FileStoreTest, DeleteDataRemovesOrReports) {
  FileStore store = Store();
  Write(app_ / "gone.txt", "x");
  std::string err = "stale";
  store.DeleteData("", "gone.txt", err);
  EXPECT_EQ(err, "");
  EXPECT_FALSE(fs::exists(app_ / "gone.txt"));

  err = "stale";
  store.DeleteData("", "gone.txt", err);  // no such file: nothing happens
  EXPECT_EQ(err, "");

  Write(app_ / "busy.txt", "x");
  FaultyIo io;
  io.unlink_errno = EBUSY;
  Store(&io).DeleteData("", "busy.txt", err);
  EXPECT_NE(err.find("busy.txt"), std::string::npos) << err;
  EXPECT_TRUE(fs::exists(app_ / "busy.txt"));
}

// No method reads, writes, deletes or lists anything outside the application folder; each
// refuses in the way it reports its other failures.
TEST_F(FileStoreTest, PathsLeavingTheFolderAreRefused) {
  FileStore store = Store();
  std::string err;
  int32_t size = -1;

  EXPECT_THROW(store.UploadFile(Compressed(ToBytes("evil")), "..\\..\\secret.txt"),
               EClientPathError);
  EXPECT_THROW(store.DownLoadFile("../../secret.txt", size), EClientPathError);
  EXPECT_EQ(size, -1);
  EXPECT_THROW(store.FindFiles("..", "*.*"), EClientPathError);
  EXPECT_THROW(store.FindFiles("", "..\\*.*"), EClientPathError);

  EXPECT_TRUE(store.ReadData("..", "secret.txt", err).IsEmpty());
  EXPECT_NE(err, "");
  err.clear();
  store.PostData(Variant::ByteArray(ToBytes("evil")), "..", "secret.txt", err);
  EXPECT_NE(err, "");
  err.clear();
  store.PostData(Variant::ByteArray(ToBytes("evil")), "../newdir", "x", err);
  EXPECT_NE(err, "");
  err.clear();
  store.DeleteData("sub\\..\\..", "secret.txt", err);
  EXPECT_NE(err, "");

  EXPECT_EQ(Read(root_ / "secret.txt"), "outside");
  EXPECT_FALSE(fs::exists(root_ / "newdir"));
  EXPECT_EQ(EntryCount(root_), 2u);  // app and secret.txt
}

struct PatternCase {
  const char* name;
  const char* pattern;
  bool matches;
};

class FilePattern : public testing::TestWithParam<PatternCase> {};

TEST_P(FilePattern, MatchesLikeADirectorySearch) {
  EXPECT_EQ(MatchesFilePattern(GetParam().name, GetParam().pattern), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FilePattern,
    testing::Values(PatternCase{"a.txt", "*.*", true}, PatternCase{"README", "*.*", true},
                    PatternCase{"README", "*", true}, PatternCase{"a.txt", "*.txt", true},
                    PatternCase{"a.TXT", "*.txt", true}, PatternCase{"a.txt.bak", "*.txt", false},
                    PatternCase{"ab.txt", "a?.txt", true}, PatternCase{"a.txt", "a?.txt", false},
                    PatternCase{"report", "report.*", true},
                    PatternCase{"report.pdf", "report.*", true},
                    PatternCase{"reports", "report.*", false}, PatternCase{"a.txt", "", false},
                    PatternCase{"x1y2z", "x*y*z", true}, PatternCase{"xyz", "x*q*", false}));

}  // namespace
}  // namespace service
