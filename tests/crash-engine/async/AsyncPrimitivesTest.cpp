// Error texts, byte order, address arithmetic, checked task reads, strings, the buffered output
// file and the diagnostic line.
#include "crash-engine/async/HXCrashAsync.h"
#include "crash-engine/async/HXCrashAsyncFile.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstring>
#include <string>
#include <vector>

namespace {

TEST(AsyncPrimitivesTest, ErrorTextsCoverEveryCode) {
  const std::vector<std::pair<int, std::string>> table = {
      {0, "No error"},
      {1, "Unknown error"},
      {2, "Output file can not be opened (or written to)"},
      {3, "No memory available"},
      {4, "Operation not supported"},
      {5, "Invalid argument"},
      {6, "Internal error"},
      {7, "Access denied"},
      {8, "Not found"},
      {9, "The input data is in an unknown or invalid format."},
      {10, "Unhandled error code"},
      {-1, "Unhandled error code"},
  };
  for (const auto& [code, text] : table) {
    EXPECT_STREQ(MShxcrash_async_strerror(static_cast<hxcrash_error_t>(code)), text.c_str()) << code;
  }
}

TEST(AsyncPrimitivesTest, ByteOrderDescriptors) {
  const MShxcrash_async_byteorder* little = MShxcrash_async_byteorder_little_endian();
  const MShxcrash_async_byteorder* big = MShxcrash_async_byteorder_big_endian();
  EXPECT_EQ(little, &MShxcrash_async_byteorder_direct);
  EXPECT_EQ(big, &MShxcrash_async_byteorder_swapped);
  EXPECT_EQ(little->swap16(0x1234), 0x1234);
  EXPECT_EQ(little->swap32(0x12345678u), 0x12345678u);
  EXPECT_EQ(little->swap64(0x0102030405060708ull), 0x0102030405060708ull);
  EXPECT_EQ(big->swap16(0x1234), 0x3412);
  EXPECT_EQ(big->swap32(0x12345678u), 0x78563412u);
  EXPECT_EQ(big->swap64(0x0102030405060708ull), 0x0807060504030201ull);
}

TEST(AsyncPrimitivesTest, ApplyOffsetRefusesToLeaveTheRange) {
  struct Case {
    std::uint64_t base;
    std::int64_t offset;
    bool ok;
    std::uint64_t result;
  };
  const Case cases[] = {
      {100, 5, true, 105},
      {100, -100, true, 0},
      {100, -101, false, 0},
      {UINT64_MAX - 10, 10, true, UINT64_MAX},
      {UINT64_MAX - 10, 11, false, 0},
      {0, INT64_MIN, false, 0},
      {UINT64_MAX, INT64_MIN, true, UINT64_MAX - (1ull << 63)},
      {5, 0, true, 5},
  };
  for (const Case& c : cases) {
    std::uint64_t result = 0xdead;
    EXPECT_EQ(MShxcrash_async_address_apply_offset(c.base, c.offset, &result), c.ok) << c.base << " " << c.offset;
    if (c.ok)
      EXPECT_EQ(result, c.result);
    else
      EXPECT_EQ(result, 0xdeadu);
  }
  EXPECT_TRUE(MShxcrash_async_address_apply_offset(1, 1, nullptr));
}

TEST(AsyncPrimitivesTest, ThreadSelfIsTheKernelThreadAndLeavesNoReference) {
  EXPECT_EQ(MSpl_mach_thread_self(), static_cast<vx::thread_t>(gettid()));
  EXPECT_EQ(vx::task_self_user_references(), 1);
}

// A page that is readable, one that is mapped but protected, and one that is not mapped.
struct PageFixture {
  std::uint8_t* base = nullptr;
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  PageFixture() {
    base =
        static_cast<std::uint8_t*>(mmap(nullptr, page * 3, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    for (std::size_t i = 0; i < page; ++i) base[i] = static_cast<std::uint8_t>(i);
    mprotect(base + page, page, PROT_NONE);
    munmap(base + 2 * page, page);
  }
  ~PageFixture() { munmap(base, page * 2); }
  std::uint64_t readable() const { return reinterpret_cast<std::uint64_t>(base); }
  std::uint64_t protectedPage() const { return readable() + page; }
  std::uint64_t unmapped() const { return readable() + 2 * page; }
};

TEST(AsyncPrimitivesTest, TaskMemcpyTellsUnmappedFromProtected) {
  PageFixture pages;
  const vx::task_t task = vx::mach_task_self();
  std::uint8_t buffer[16] = {};
  EXPECT_EQ(MShxcrash_async_task_memcpy(task, pages.readable(), 8, buffer, 16), hxcrash_error_none);
  EXPECT_EQ(buffer[0], 8);
  EXPECT_EQ(buffer[15], 23);
  EXPECT_EQ(MShxcrash_async_task_memcpy(task, pages.protectedPage(), 0, buffer, 8), hxcrash_error_access_denied);
  EXPECT_EQ(MShxcrash_async_task_memcpy(task, pages.unmapped(), 0, buffer, 8), hxcrash_error_not_found);
  // A range that starts readable and runs into the protected page fails as a whole.
  EXPECT_EQ(MShxcrash_async_task_memcpy(task, pages.protectedPage() - 4, 0, buffer, 8), hxcrash_error_access_denied);
  // An offset that wraps is refused before any memory is touched.
  EXPECT_EQ(MShxcrash_async_task_memcpy(task, UINT64_MAX - 4, 8, buffer, 1), hxcrash_error_no_memory);
  EXPECT_EQ(MShxcrash_async_task_memcpy(task, 0, -1, buffer, 1), hxcrash_error_no_memory);
  EXPECT_EQ(MShxcrash_async_read_addr(task, pages.unmapped(), buffer, 4), vx::KERN_INVALID_ADDRESS);
  EXPECT_EQ(MShxcrash_async_read_addr(task, pages.protectedPage(), buffer, 4), vx::KERN_PROTECTION_FAILURE);
}

TEST(AsyncPrimitivesTest, TypedReadsSwapByTheByteOrder) {
  const std::uint8_t bytes[8] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  const auto address = reinterpret_cast<std::uint64_t>(bytes);
  const vx::task_t task = vx::mach_task_self();
  const MShxcrash_async_byteorder* little = MShxcrash_async_byteorder_little_endian();
  const MShxcrash_async_byteorder* big = MShxcrash_async_byteorder_big_endian();
  std::uint8_t u8 = 0;
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0;
  EXPECT_EQ(MShxcrash_async_task_read_uint8(task, address, 3, &u8), hxcrash_error_none);
  EXPECT_EQ(u8, 0x04);
  EXPECT_EQ(MShxcrash_async_task_read_uint16(task, little, address, 0, &u16), hxcrash_error_none);
  EXPECT_EQ(u16, 0x0201);
  EXPECT_EQ(MShxcrash_async_task_read_uint16(task, big, address, 0, &u16), hxcrash_error_none);
  EXPECT_EQ(u16, 0x0102);
  EXPECT_EQ(MShxcrash_async_task_read_uint32(task, big, address, 4, &u32), hxcrash_error_none);
  EXPECT_EQ(u32, 0x05060708u);
  EXPECT_EQ(MShxcrash_async_task_read_uint64(task, little, address, 0, &u64), hxcrash_error_none);
  EXPECT_EQ(u64, 0x0807060504030201ull);
  PageFixture pages;
  EXPECT_EQ(MShxcrash_async_task_read_uint32(task, little, pages.unmapped(), 0, &u32), hxcrash_error_not_found);
}

TEST(AsyncPrimitivesTest, StringsAndMemory) {
  struct Case {
    const char* a;
    const char* b;
    std::size_t n;
    int sign;   // of strcmp
    int signN;  // of strncmp over n
  };
  const Case cases[] = {
      {"abc", "abc", 3, 0, 0}, {"abc", "abd", 2, -1, 0}, {"abd", "abc", 3, 1, 1}, {"ab", "abc", 5, -1, -1},
      {"", "", 0, 0, 0},       {"\xff", "a", 1, 1, 1},   {"x", "y", 0, -1, 0},
  };
  auto sign = [](int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; };
  for (const Case& c : cases) {
    EXPECT_EQ(sign(MShxcrash_async_strcmp(c.a, c.b)), c.sign) << c.a << " " << c.b;
    EXPECT_EQ(sign(MShxcrash_async_strncmp(c.a, c.b, c.n)), c.signN) << c.a << " " << c.b;
  }
  EXPECT_EQ(MShxcrash_async_strcmp("b", "a"), 1);
  EXPECT_EQ(MShxcrash_async_strcmp("\xff", "a"), 0xff - 'a');

  char target[8] = {};
  MShxcrash_async_memcpy(target, "1234567", 8);
  EXPECT_STREQ(target, "1234567");
  EXPECT_EQ(MShxcrash_async_memset(target, 0x141, 4), target);
  EXPECT_EQ(std::string(target, 4), "AAAA");
  EXPECT_EQ(MShxcrash_async_memset(target, 'z', 0), target);
  EXPECT_EQ(target[0], 'A');
}

TEST(AsyncPrimitivesTest, FormatterKnowsTheDiagnosticsFormats) {
  char buffer[64];
  struct Case {
    std::string expected;
    std::size_t length;
  };
  MShxcrash_async_snprintf(buffer, sizeof buffer, "%d|%u|%x|%llx|%s|%p|%%", -42, 7u, 255u, 0x1234567890abcdefull,
                           "text", reinterpret_cast<void*>(0x10));
  EXPECT_STREQ(buffer, "-42|7|ff|1234567890abcdef|text|0x10|%");
  MShxcrash_async_snprintf(buffer, sizeof buffer, "%0*llx|%5d|%-3s|%jd|%zu", 16, 0xabcull, 12, "a",
                           static_cast<intmax_t>(-7), static_cast<size_t>(9));
  EXPECT_STREQ(buffer, "0000000000000abc|   12|a  |-7|9");
  EXPECT_EQ(MShxcrash_async_snprintf(buffer, 4, "%s", "abcdef"), 3u);
  EXPECT_STREQ(buffer, "abc");
  MShxcrash_async_snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(LLONG_MIN));
  EXPECT_STREQ(buffer, "-9223372036854775808");
}

TEST(AsyncPrimitivesTest, DiagnosticLineFormatAndCut) {
  testing::internal::CaptureStderr();
  MShxcrash_async_debug("some_function", 42, "value %d: %s", 7, "seven");
  MShxcrash_async_debug("f", 1, "%s", std::string(300, 'x').c_str());
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out,
            "[HXCrashReport] some_function:42: value 7: seven\n[HXCrashReport] f:1: " + std::string(127, 'x') + "\n");
}

TEST(AsyncPrimitivesTest, WritenWritesEverythingAndReportsFailure) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  EXPECT_EQ(MShxcrash_async_writen(fds[1], "hello", 5), 5);
  EXPECT_EQ(MShxcrash_async_writen(fds[1], "", 0), 0);
  char buffer[8] = {};
  EXPECT_EQ(read(fds[0], buffer, sizeof buffer), 5);
  close(fds[0]);
  close(fds[1]);
  EXPECT_LT(MShxcrash_async_writen(fds[1], "x", 1), 0);  // closed descriptor
}

// The buffered file over a real temporary file: what reached the file is its size.
class AsyncFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ce-async-file-XXXXXX";
    fd_ = mkstemp(pattern);
    ASSERT_GE(fd_, 0);
    path_ = pattern;
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
    unlink(path_.c_str());
  }
  off_t written() const {
    struct stat info {};
    fstat(fd_, &info);
    return info.st_size;
  }
  int fd_ = -1;
  std::string path_;
};

TEST_F(AsyncFileTest, LimitRefusesWholeWritesAndKeepsRoomForSmallerOnes) {
  MShxcrash_async_file file;
  MShxcrash_async_file_init(&file, fd_, 10);
  EXPECT_TRUE(MShxcrash_async_file_write(&file, "123456", 6));
  EXPECT_FALSE(MShxcrash_async_file_write(&file, "12345", 5));
  EXPECT_EQ(file.buflen, 6u);
  EXPECT_EQ(file.total_bytes, 6);
  EXPECT_TRUE(MShxcrash_async_file_write(&file, "abcd", 4));
  EXPECT_FALSE(MShxcrash_async_file_write(&file, "x", 1));
  EXPECT_TRUE(MShxcrash_async_file_flush(&file));
  EXPECT_EQ(written(), 10);
}

TEST_F(AsyncFileTest, NoLimitAcceptsAnyAmount) {
  MShxcrash_async_file file;
  MShxcrash_async_file_init(&file, fd_, 0);
  const std::string big(100000, 'q');
  EXPECT_TRUE(MShxcrash_async_file_write(&file, big.data(), big.size()));
  EXPECT_TRUE(MShxcrash_async_file_write(&file, "tail", 4));
  EXPECT_EQ(file.total_bytes, 0);
  EXPECT_TRUE(MShxcrash_async_file_flush(&file));
  EXPECT_EQ(written(), 100004);
}

TEST_F(AsyncFileTest, SmallWritesStayBufferedUntilTheBufferOverflows) {
  MShxcrash_async_file file;
  MShxcrash_async_file_init(&file, fd_, 0);
  for (int i = 0; i < 256; ++i) ASSERT_TRUE(MShxcrash_async_file_write(&file, "b", 1));
  EXPECT_EQ(written(), 0);
  EXPECT_EQ(file.buflen, 256u);
  EXPECT_TRUE(MShxcrash_async_file_write(&file, "c", 1));
  EXPECT_EQ(written(), 256);
  EXPECT_EQ(file.buflen, 1u);
}

TEST_F(AsyncFileTest, LargeWriteFlushesThenGoesStraightThrough) {
  MShxcrash_async_file file;
  MShxcrash_async_file_init(&file, fd_, 0);
  EXPECT_TRUE(MShxcrash_async_file_write(&file, "0123456789", 10));
  const std::string big(300, 'L');
  EXPECT_TRUE(MShxcrash_async_file_write(&file, big.data(), big.size()));
  EXPECT_EQ(file.buflen, 0u);
  EXPECT_EQ(written(), 310);
  std::string content(310, '\0');
  ASSERT_EQ(pread(fd_, content.data(), content.size(), 0), 310);
  EXPECT_EQ(content, "0123456789" + big);
}

TEST_F(AsyncFileTest, ExactFitIsBufferedNotFlushed) {
  MShxcrash_async_file file;
  MShxcrash_async_file_init(&file, fd_, 0);
  EXPECT_TRUE(MShxcrash_async_file_write(&file, std::string(200, 'a').data(), 200));
  EXPECT_TRUE(MShxcrash_async_file_write(&file, std::string(56, 'b').data(), 56));
  EXPECT_EQ(written(), 0);
  EXPECT_EQ(file.buflen, 256u);
}

TEST_F(AsyncFileTest, FailingFlushKeepsBytesAndDescriptor) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);  // writes now fail with EPIPE (SIGPIPE ignored below)
  signal(SIGPIPE, SIG_IGN);
  MShxcrash_async_file file;
  MShxcrash_async_file_init(&file, fds[1], 0);
  EXPECT_TRUE(MShxcrash_async_file_write(&file, "abc", 3));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(MShxcrash_async_file_flush(&file));
  EXPECT_FALSE(MShxcrash_async_file_close(&file));
  const std::string out = testing::internal::GetCapturedStderr();
  EXPECT_NE(out.find("Error occured writing to crash log: Broken pipe"), std::string::npos) << out;
  EXPECT_EQ(file.buflen, 3u);
  EXPECT_NE(fcntl(fds[1], F_GETFD), -1);  // still open
  close(fds[1]);
  signal(SIGPIPE, SIG_DFL);
}

TEST_F(AsyncFileTest, CloseFlushesAndCloses) {
  MShxcrash_async_file file;
  const int fd = dup(fd_);
  MShxcrash_async_file_init(&file, fd, 0);
  EXPECT_TRUE(MShxcrash_async_file_write(&file, "done", 4));
  EXPECT_TRUE(MShxcrash_async_file_close(&file));
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);
  EXPECT_EQ(written(), 4);
  MShxcrash_async_file_init(&file, 1 << 20, 0);  // no such descriptor: close fails
  testing::internal::CaptureStderr();
  EXPECT_FALSE(MShxcrash_async_file_close(&file));
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Error closing file: Bad file descriptor"), std::string::npos);
}

}  // namespace
