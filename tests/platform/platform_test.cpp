// The POSIX layer: conditions of real file operations, files, threads, heap counters.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <string>

#include "platform/file.h"
#include "platform/heap.h"
#include "platform/thread.h"
#include "support/temp_dir.h"

namespace quelta::platform {
namespace {

TEST(Platform, FileConditions) {
  test::TempDir dir;
  File f;
  EXPECT_EQ(file_open_read((dir.path() / "none").c_str(), &f), Error::FileNotFound);
  EXPECT_EQ(file_open_read(dir.path().c_str(), &f), Error::IsDir);
  std::string existing = dir.write("a.txt", "hello");
  EXPECT_EQ(file_open_read((existing + "/x").c_str(), &f), Error::FileNotFound);
  EXPECT_EQ(file_create_new(existing.c_str(), &f), Error::PathAlreadyExists);
  EXPECT_EQ(file_open_read(std::string(5000, 'n').c_str(), &f), Error::NameTooLong);
  EXPECT_FALSE(f.valid());
  EXPECT_EQ(file_delete((dir.path() / "none").c_str()), Error::FileNotFound);
}

TEST(Platform, WriteReadAndDelete) {
  test::TempDir dir;
  std::string path = (dir.path() / "out.bin").string();
  File w;
  ASSERT_EQ(file_create_new(path.c_str(), &w), Error::None);
  std::string data(1 << 20, 'z');
  data[12345] = 'q';
  ASSERT_EQ(file_write_all(w, data.data(), data.size()), Error::None);
  file_close(&w);
  EXPECT_FALSE(w.valid());

  File r;
  ASSERT_EQ(file_open_read(path.c_str(), &r), Error::None);
  uint64_t size = 0;
  ASSERT_EQ(file_size(r, &size), Error::None);
  EXPECT_EQ(size, data.size());
  char c = 0;
  size_t got = 0;
  ASSERT_EQ(file_pread(r, &c, 1, 12345, &got), Error::None);
  EXPECT_EQ(got, 1u);
  EXPECT_EQ(c, 'q');
  std::string back(data.size() + 10, '\0');
  size_t total = 0;
  do {
    ASSERT_EQ(file_read(r, back.data() + total, back.size() - total, &got), Error::None);
    total += got;
  } while (got > 0);
  EXPECT_EQ(total, data.size());
  back.resize(total);
  EXPECT_EQ(back, data);
  EXPECT_EQ(file_write_all(r, "x", 1), Error::NotOpenForWriting);
  file_close(&r);
  EXPECT_EQ(file_delete(path.c_str()), Error::None);
}

TEST(Platform, ThreadsRunAndJoin) {
  std::atomic<int> sum{0};
  Thread threads[4];
  for (auto& t : threads)
    ASSERT_EQ(thread_start(
                  &t, 64 * 1024, [](void* arg) { static_cast<std::atomic<int>*>(arg)->fetch_add(1); }, &sum),
              Error::None);
  for (auto& t : threads) thread_join(&t);
  EXPECT_EQ(sum.load(), 4);
  EXPECT_GE(processor_count(), 1u);
}

TEST(Platform, HeapFaultSwitch) {
  int64_t live = heap_live_blocks();
  heap_fail_at(2);
  void* a = heap_alloc(10);
  void* b = heap_alloc(10);
  void* c = heap_alloc(10);
  heap_fail_at(0);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_GE(heap_usable_size(a), 10u);
  heap_fail_at(1);
  EXPECT_EQ(heap_realloc(a, 1 << 20), nullptr);  // the old block stays valid
  heap_fail_at(0);
  heap_free(a);
  heap_free(c);
  EXPECT_EQ(heap_live_blocks(), live);
}

}  // namespace
}  // namespace quelta::platform
