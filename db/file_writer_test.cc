#include "db/file_writer.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "base/file_system.h"
#include "db/table.h"

namespace {

// A memory file tree whose writes can be held at a gate, so that a test knows exactly what
// the writer thread has taken and what is still waiting.
class gated_file_system : public memory_file_system {
 public:
  status write(const str& name, const str& bytes, bool append) override {
    {
      std::unique_lock<std::mutex> l(m_);
      entered_++;
      cv_.notify_all();
      cv_.wait(l, [this] { return open_; });
    }
    return memory_file_system::write(name, bytes, append);
  }
  void close() {
    std::lock_guard<std::mutex> l(m_);
    open_ = false;
  }
  void open() {
    std::lock_guard<std::mutex> l(m_);
    open_ = true;
    cv_.notify_all();
  }
  // Waits until n writes have reached the gate.
  void wait_entered(int n) {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait(l, [&] { return entered_ >= n; });
  }
  int entered() {
    std::lock_guard<std::mutex> l(m_);
    return entered_;
  }
  std::string file(const std::string& name) {
    auto it = files.find(name);
    return it == files.end() ? "<none>" : it->second;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = true;
  int entered_ = 0;
};

class FileWriterTest : public ::testing::Test {
 protected:
  void TearDown() override { stop_file_writer(); }
  gated_file_system gfs;
  scoped_file_system use{&gfs};
};

// Without the thread every call acts at once: the table tests (TableTest) write, remove and
// fail through it that way.

// While the writer is held on one file, newer versions replace the waiting ones: each file
// ends with the last operation queued for it, a removal after a write included.
TEST_F(FileWriterTest, WaitingVersionsAreReplacedAndTheLastOneWins) {
  start_file_writer();
  gfs.close();
  write_whole_file("t/1.xml", "v1");
  gfs.wait_entered(1);  // the writer holds v1
  write_whole_file("t/1.xml", "v2");
  write_whole_file("t/2.xml", "w");
  write_whole_file("t/1.xml", "v3");
  remove_whole_file("t/2.xml");
  write_whole_file("t/3.xml", "x");
  remove_whole_file("t/3.xml");
  write_whole_file("t/3.xml", "y");
  EXPECT_EQ(gfs.file("t/1.xml"), "<none>");  // nothing has passed the gate yet
  file_writer_stats s = get_file_writer_stats();
  EXPECT_EQ(std::to_string(s.queued) + " " + std::to_string(s.replaced), "8 4");
  gfs.open();
  flush_file_writer();
  EXPECT_EQ(gfs.file("t/1.xml") + gfs.file("t/2.xml") + gfs.file("t/3.xml"), "v3<none>y");
  EXPECT_EQ(get_file_writer_stats().performed - s.performed, 4u);  // v1, then 1, 2 and 3
  // No temporary file is left behind.
  for (const auto& [name, bytes] : gfs.files) EXPECT_EQ(name.find(".tmp"), std::string::npos);
}

// The table store with the writer running: a row created and deleted at once leaves no file,
// a reader of the directory sees every change without an explicit flush, and stopping the
// writer writes what is queued.
TEST_F(FileWriterTest, TablesReadBackWhatTheyWrote) {
  start_file_writer();
  table t(true);
  t.add_column("name", true);
  t.read_table("t");
  for (int i = 0; i < 200; i++) {
    int id = t.add_row(false);
    t.set(id, "name", str::from_int64(i));
    if (i % 3 == 0) t.delete_row(id);
  }
  table back(true);
  back.add_column("name", true);
  back.read_table("t");
  EXPECT_EQ(back.serialize(), t.serialize());
  EXPECT_EQ(back.get_index(), 201);
  int before = gfs.entered();
  gfs.close();
  t.set(t.last(), "name", "late");
  gfs.wait_entered(before + 1);
  t.set(t.last(), "name", "later");
  gfs.open();
  stop_file_writer();
  EXPECT_FALSE(file_writer_running());
  EXPECT_EQ(gfs.file(std::string(t.row_file(t.last()).view())),
            std::string(t.row_content(t.last()).view()));
  EXPECT_NE(gfs.file(std::string(t.row_file(t.last()).view())).find("later"), std::string::npos);
}

}  // namespace
