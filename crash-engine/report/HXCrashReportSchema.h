// The generated decoder of crash_report.proto under the engine's names. protoc-c names the
// entry points after the package ("hxcrash__crash_report__..."); the engine's code and its users
// call them by these.
#pragma once

#include "crash-engine/crash_report.pb-c.h"

using MShxcrash__CrashReport = Hxcrash__CrashReport;

inline const ProtobufCMessageDescriptor& MShxcrash__crash_report__descriptor = hxcrash__crash_report__descriptor;

inline void MShxcrash__crash_report__init(MShxcrash__CrashReport* message) { hxcrash__crash_report__init(message); }
inline size_t MShxcrash__crash_report__get_packed_size(const MShxcrash__CrashReport* message) {
  return hxcrash__crash_report__get_packed_size(message);
}
inline size_t MShxcrash__crash_report__pack(const MShxcrash__CrashReport* message, uint8_t* out) {
  return hxcrash__crash_report__pack(message, out);
}
inline size_t MShxcrash__crash_report__pack_to_buffer(const MShxcrash__CrashReport* message, ProtobufCBuffer* buffer) {
  return hxcrash__crash_report__pack_to_buffer(message, buffer);
}
inline MShxcrash__CrashReport* MShxcrash__crash_report__unpack(ProtobufCAllocator* allocator, size_t length,
                                                               const uint8_t* data) {
  return hxcrash__crash_report__unpack(allocator, length, data);
}
inline void MShxcrash__crash_report__free_unpacked(MShxcrash__CrashReport* message, ProtobufCAllocator* allocator) {
  hxcrash__crash_report__free_unpacked(message, allocator);
}
