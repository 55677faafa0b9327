// Output files that appear whole or not at all, and the signal handling that
// removes their temporaries.
#pragma once

#include <string>
#include <vector>

namespace cli {

// SIGINT, SIGTERM and SIGHUP remove the registered temporaries and end the tool
// with status 128 + the signal; SIGXFSZ is ignored so a write past the file-size
// limit fails with FileTooBig instead.
void install_signal_handlers();

// Output files that appear together or not at all. add() refuses a target that
// exists and names a hidden temporary next to it, removed on a signal or when the
// set is destroyed unpublished; publish() moves every temporary onto its target,
// never over a file that appeared meanwhile, and undoes the moves made if one fails.
class OutputSet {
 public:
  // operation names the call in messages ("validate_to_files failed"); replace
  // lets publish() move the outputs over existing files.
  OutputSet(std::string operation, bool replace);
  ~OutputSet();
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;
  void add(const std::string& target);  // throws Failure
  const char* temporary(size_t i) const { return entries_[i].temporary.c_str(); }
  void publish();  // throws Failure

 private:
  struct Entry {
    std::string target, temporary;
    int slot;  // in the table the signal handler reads
  };
  [[noreturn]] void fail_exists(const std::string& target) const;
  std::vector<Entry> entries_;
  std::string operation_;
  bool replace_;
  bool published_ = false;
};

}  // namespace cli
