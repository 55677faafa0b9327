// Exports of the one-pass profile and of the schema inferred from it.
#include "api/error_slot.h"
#include "api/scanner_open.h"
#include "platform/owned.h"
#include "profile/profile.h"
#include "quelta.h"
#include "scan/scanner.h"

using namespace quelta;

namespace {

char* run(const char* path, const ScanOptions* options, const ReadOptions* read, ProfileOutput what,
          size_t n_threads = 1) {
  platform::OwnedPtr<Scanner, scanner_close> scanner(api::open_scanner(path, options, read));
  if (!scanner) return nullptr;
  Error condition = Error::None;
  char* text = profile_text(scanner_state(scanner.get()), what, n_threads, &condition);
  if (!text)
    api::slot_set(what == ProfileOutput::Profile ? "profile failed: " : "infer_schema failed: ", condition);
  return text;
}

}  // namespace

extern "C" {

QUELTA_API char* quelta_profile(const char* path, const ScanOptions* options) {
  return run(path, options, nullptr, ProfileOutput::Profile);
}

QUELTA_API char* quelta_profile_with(const char* path, const ScanOptions* options, const ReadOptions* read) {
  return run(path, options, read, ProfileOutput::Profile);
}

QUELTA_API char* quelta_infer_schema(const char* path, const ScanOptions* options) {
  return run(path, options, nullptr, ProfileOutput::Schema);
}

QUELTA_API char* quelta_infer_schema_with(const char* path, const ScanOptions* options,
                                          const ReadOptions* read) {
  return run(path, options, read, ProfileOutput::Schema);
}

QUELTA_API char* quelta_parallel_profile(const char* path, const ScanOptions* options,
                                         const ReadOptions* read, size_t n_threads) {
  return run(path, options, read, ProfileOutput::Profile, n_threads);
}

QUELTA_API char* quelta_parallel_infer_schema(const char* path, const ScanOptions* options,
                                              const ReadOptions* read, size_t n_threads) {
  return run(path, options, read, ProfileOutput::Schema, n_threads);
}

QUELTA_API void quelta_profile_free(char* text) { profile_text_free(text); }
}
