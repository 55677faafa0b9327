// The last-error slot and the one place messages are composed.
#include "api/error_slot.h"

#include <cstring>

namespace quelta::api {
namespace {

constexpr char kOverflow[] = "error (message too long)";

struct ErrorSlot {
  const char* message = nullptr;
  size_t length = 0;
  char buffer[kErrorSlotSize];
};

ErrorSlot g_slot;

// Writes the pieces one after another into the buffer; a message that would
// not leave room for its terminating NUL becomes the fixed overflow text.
void compose(const char* a, const char* b) {
  size_t la = std::strlen(a);
  size_t lb = b ? std::strlen(b) : 0;
  if (la + lb >= kErrorSlotSize) {
    g_slot.message = kOverflow;
    g_slot.length = sizeof(kOverflow) - 1;
    return;
  }
  std::memcpy(g_slot.buffer, a, la);
  if (lb) std::memcpy(g_slot.buffer + la, b, lb);
  g_slot.message = g_slot.buffer;
  g_slot.length = la + lb;
}

}  // namespace

void slot_clear() {
  g_slot.message = nullptr;
  g_slot.length = 0;
}

void slot_set(const char* phrase) { compose(phrase, nullptr); }

void slot_set(const char* prefix, Error condition) { compose(prefix, error_name(condition)); }

const char* slot_message() {
  if (!g_slot.message || g_slot.length >= kErrorSlotSize) return nullptr;
  if (g_slot.message == g_slot.buffer) g_slot.buffer[g_slot.length] = '\0';
  return g_slot.message;
}

}  // namespace quelta::api
