// Output files that appear whole or not at all: each is written under a hidden
// temporary name in its target's folder and moved into place when complete, and
// SIGINT, SIGTERM and SIGHUP remove the temporaries before the tool exits.
#include "atomic_output.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "failures.h"

namespace cli {
namespace {

// The handler may only read fixed storage, so temporaries are registered in a
// table of path arrays; a slot's flag is set after its path is written.
constexpr int kMaxTemporaries = 8;
constexpr size_t kMaxPath = 4096;
char g_paths[kMaxTemporaries][kMaxPath];
std::atomic<bool> g_used[kMaxTemporaries];
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler reads these flags");

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};
// A temporary's name keeps at most this much of the target's name.
constexpr size_t kNameKept = 128;

extern "C" void remove_temporaries_and_exit(int sig) {
  for (int i = 0; i < kMaxTemporaries; ++i)
    if (g_used[i].load()) ::unlink(g_paths[i]);
  ::_exit(128 + sig);
}

int register_temporary(const std::string& path) {
  if (path.size() >= kMaxPath) return -1;
  for (int i = 0; i < kMaxTemporaries; ++i) {
    if (g_used[i].load()) continue;
    std::memcpy(g_paths[i], path.c_str(), path.size() + 1);
    g_used[i].store(true);
    return i;
  }
  return -1;
}

void unregister_temporary(int slot) {
  if (slot >= 0) g_used[slot].store(false);
}

sigset_t cleanup_signal_set() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kCleanupSignals) sigaddset(&set, sig);
  return set;
}

// Any other failure to look is left for the create or the move to report.
bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// ".NAME.quelta-PID-XXXXXXXX.tmp" next to target, a name nothing holds yet.
std::string temporary_name(const std::string& target) {
  size_t slash = target.rfind('/');
  std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  std::string name = target.substr(folder.size(), kNameKept);
  if (name.empty() || name == "." || name == "..") name = "output";
  static uint32_t counter = 0;
  auto clock = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  std::string path;
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint32_t tag = static_cast<uint32_t>(clock ^ (clock >> 32)) * 2654435761u + ++counter;
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".quelta-%ld-%08x.tmp", static_cast<long>(::getpid()), tag);
    path = folder + "." + name + suffix;
    if (!exists(path)) break;
  }
  return path;
}

// Whether two output paths name one file: the same name in the same folder.
bool same_place(const std::string& a, const std::string& b) {
  auto place = [](const std::string& path) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    char resolved[PATH_MAX];
    if (::realpath(folder.c_str(), resolved)) folder = resolved;
    return folder + "/" + name;
  };
  return a == b || place(a) == place(b);
}

// Moves from onto to unless to exists: one rename where the filesystem offers
// RENAME_NOREPLACE, a hard link and unlink where it does not. 0 or an errno.
int move_without_overwrite(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return errno;
  if (::link(from, to) != 0) return errno;
  ::unlink(from);
  return 0;
}

}  // namespace

void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = remove_temporaries_and_exit;
  action.sa_mask = cleanup_signal_set();
  for (int sig : kCleanupSignals) {
    // A signal ignored by whoever started the tool (nohup, a background job)
    // stays ignored.
    struct sigaction before {};
    if (::sigaction(sig, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &action, nullptr);
  }
  // Past a file-size limit a write then fails with EFBIG, which the library
  // reports as FileTooBig and cleans up after, instead of the process dying.
  std::signal(SIGXFSZ, SIG_IGN);
}

OutputSet::OutputSet(std::string operation, bool replace)
    : operation_(std::move(operation)), replace_(replace) {}

OutputSet::~OutputSet() {
  for (Entry& e : entries_) {
    if (!published_) ::unlink(e.temporary.c_str());
    unregister_temporary(e.slot);
  }
}

void OutputSet::fail_exists(const std::string& target) const {
  throw Failure{target + ": " + operation_ + ": PathAlreadyExists (--force replaces it)"};
}

void OutputSet::add(const std::string& target) {
  for (const Entry& e : entries_)
    if (same_place(e.target, target))
      throw Failure{e.target + " and " + target + " name the same file; the outputs need two"};
  if (exists(target)) {
    if (!replace_) fail_exists(target);
    struct stat st;
    if (::stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      throw Failure{target + ": is a folder; --force replaces files only"};
  }
  entries_.push_back(Entry{target, temporary_name(target), -1});
  Entry& entry = entries_.back();
  entry.slot = register_temporary(entry.temporary);
  if (entry.slot < 0) throw Failure{"output path too long: " + target};
}

void OutputSet::publish() {
  // With the cleanup signals held back, the moves below all happen or are all
  // undone; a signal that came in meanwhile acts once they are over.
  sigset_t held = cleanup_signal_set(), before;
  pthread_sigmask(SIG_BLOCK, &held, &before);
  // With replace_, a file at a target's name is kept under a second name (a hard
  // link) until every move is made, so that a failed move can put it back.
  std::vector<std::string> kept(entries_.size());
  int error = 0;
  size_t moved = 0;
  for (; moved < entries_.size(); ++moved) {
    const Entry& e = entries_[moved];
    if (!replace_) {
      error = move_without_overwrite(e.temporary.c_str(), e.target.c_str());
    } else {
      if (exists(e.target)) {
        std::string old = temporary_name(e.target);
        if (::link(e.target.c_str(), old.c_str()) == 0) kept[moved] = old;
      }
      error = ::rename(e.temporary.c_str(), e.target.c_str()) == 0 ? 0 : errno;
    }
    if (error) break;
  }
  if (error) {
    for (size_t i = moved; i-- > 0;) {
      if (kept[i].empty()) {
        ::unlink(entries_[i].target.c_str());
      } else {
        ::rename(kept[i].c_str(), entries_[i].target.c_str());
        kept[i].clear();
      }
    }
  } else {
    published_ = true;
    for (Entry& e : entries_) unregister_temporary(e.slot);
  }
  for (const std::string& old : kept)
    if (!old.empty()) ::unlink(old.c_str());
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (error == EEXIST) fail_exists(entries_[moved].target);
  if (error)
    throw Failure{"cannot move the finished output into place at " + entries_[moved].target + ": " +
                  std::strerror(error)};
}

}  // namespace cli
