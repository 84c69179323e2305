// A small in-process stand-in for Mach ports, port sets, messages and a task's exception-port
// table, so the exception server, forwarding and the reporter's Mach path run on Linux, where
// the kernel has none of them. Ports live in a process-wide table; a message is a byte copy
// queued on its destination's receive right. Exceptions reach a registered port only when code
// of this process raises them (MShxcrash_mach_exception_raise and friends): the kernel sends
// faults as signals.
//
// Set-up and server code only: these functions take a lock. (On the other system the same
// calls are system calls and may run at crash time; here crash-time code never meets them
// because no hardware exception arrives through them.)
#pragma once

#include "platform/darwin/Mach.h"

#include <cstdint>

using hxcrash_mach_port_t = std::uint32_t;

inline constexpr hxcrash_mach_port_t MSHXCRASH_MACH_PORT_NULL = 0;
inline constexpr hxcrash_mach_port_t MSHXCRASH_MACH_PORT_DEAD = 0xFFFFFFFF;

enum : std::uint32_t {
  MSHXCRASH_MACH_PORT_RIGHT_SEND = 0,
  MSHXCRASH_MACH_PORT_RIGHT_RECEIVE = 1,
  MSHXCRASH_MACH_PORT_RIGHT_PORT_SET = 3,
  MSHXCRASH_MACH_MSG_TYPE_MAKE_SEND = 20,
  MSHXCRASH_MACH_MSG_TYPE_COPY_SEND = 19,
  MSHXCRASH_MACH_MSG_TYPE_MAKE_SEND_ONCE = 21,
  MSHXCRASH_MACH_NOTIFY_NO_SENDERS = 70,
};

// Results of the port layer beyond the kern_return_t values of Mach.h.
inline constexpr vx::kern_return_t MSHXCRASH_MACH_SEND_INVALID_DEST = 0x10000003;
inline constexpr vx::kern_return_t MSHXCRASH_MACH_RCV_INVALID_NAME = 0x10004002;
inline constexpr vx::kern_return_t MSHXCRASH_MACH_RCV_TOO_LARGE = 0x10004004;
inline constexpr vx::kern_return_t MSHXCRASH_MACH_RCV_TIMED_OUT = 0x10004003;
inline constexpr vx::kern_return_t MSHXCRASH_MACH_RCV_PORT_DIED = 0x10004009;

// The message header, laid out as Mach lays it out (24 bytes).
struct hxcrash_mach_msg_header {
  std::uint32_t bits;  // remote disposition in the low 5 bits
  std::uint32_t size;  // whole message, header included
  hxcrash_mach_port_t remote_port;
  hxcrash_mach_port_t local_port;  // the reply port of a request
  std::uint32_t voucher_port;
  std::int32_t id;
};
static_assert(sizeof(hxcrash_mach_msg_header) == 24);

// A receive right (RECEIVE) or a port set (PORT_SET) with a new name.
vx::kern_return_t MShxcrash_mach_port_allocate(std::uint32_t right, hxcrash_mach_port_t* name);
// Adds one send right (MAKE_SEND) to a port whose receive right exists.
vx::kern_return_t MShxcrash_mach_port_insert_right(hxcrash_mach_port_t name, std::uint32_t type);
// Adds delta user references to the send right (right SEND) or, with right RECEIVE and delta
// -1, destroys the receive right: senders then see a dead port.
vx::kern_return_t MShxcrash_mach_port_mod_refs(hxcrash_mach_port_t name, std::uint32_t right, std::int32_t delta);
// Drops one send reference.
vx::kern_return_t MShxcrash_mach_port_deallocate(hxcrash_mach_port_t name);
// User references on the port's send right (0 for unknown names).
std::int32_t MShxcrash_mach_port_send_refs(hxcrash_mach_port_t name);
// True for a name whose receive right was destroyed.
bool MShxcrash_mach_port_is_dead(hxcrash_mach_port_t name);
// Moves a receive right into a port set (receiving on the set then takes its messages).
vx::kern_return_t MShxcrash_mach_port_move_member(hxcrash_mach_port_t member, hxcrash_mach_port_t set);
// Asks for a no-senders notification (message id 70, carrying sync) on notify once the send
// references of name fall to zero.
vx::kern_return_t MShxcrash_mach_port_request_notification(hxcrash_mach_port_t name, std::uint32_t variant,
                                                           std::uint32_t sync, hxcrash_mach_port_t notify);

// Queues a copy of the message (header.size bytes) on header->remote_port.
vx::kern_return_t MShxcrash_mach_msg_send(const hxcrash_mach_msg_header* message);
// Takes the oldest message of a port or port set into buffer. A message larger than
// buffer_size stays queued: MSHXCRASH_MACH_RCV_TOO_LARGE with its size in buffer->size (the
// buffer must hold a header). timeout_ms < 0 waits for ever. *from receives the port the
// message came from (may be null).
vx::kern_return_t MShxcrash_mach_msg_receive(hxcrash_mach_port_t name, hxcrash_mach_msg_header* buffer,
                                             std::uint32_t buffer_size, std::int32_t timeout_ms,
                                             hxcrash_mach_port_t* from);

// The task's exception ports: for every exception type in mask, the registration that was
// there is reported (types with the same registration share one entry, masks OR-ed; each
// reported port carries one send reference for the caller) and the new one installed (which
// takes a send reference of its own). *count holds the capacity on entry.
vx::kern_return_t MShxcrash_task_swap_exception_ports(vx::task_t task, std::uint32_t mask, hxcrash_mach_port_t port,
                                                      std::int32_t behavior, std::int32_t flavor, std::uint32_t* masks,
                                                      std::uint32_t* count, hxcrash_mach_port_t* ports,
                                                      std::int32_t* behaviors, std::int32_t* flavors);
vx::kern_return_t MShxcrash_task_get_exception_ports(vx::task_t task, std::uint32_t mask, std::uint32_t* masks,
                                                     std::uint32_t* count, hxcrash_mach_port_t* ports,
                                                     std::int32_t* behaviors, std::int32_t* flavors);
// Drops every exception-port registration of the task (tests).
void MShxcrash_task_reset_exception_ports();

// An exception request as the exception interface lays it out (64-bit codes): header, the
// descriptor count, thread and task port descriptors, the NDR record, type, code count, codes.
struct hxcrash_mach_exception_request {
  hxcrash_mach_msg_header header;
  std::uint32_t descriptor_count;
  std::uint32_t thread_name;
  std::uint32_t thread_pad[2];
  std::uint32_t task_name;
  std::uint32_t task_pad[2];
  std::uint8_t ndr[8];
  std::int32_t exception;
  std::uint32_t code_count;
  std::int64_t codes[2];
  // The state variants add the flavor, the state word count and the state words.
  std::int32_t flavor;
  std::uint32_t state_count;
  std::uint32_t state[614];
} __attribute__((packed, aligned(4)));

struct hxcrash_mach_exception_reply {
  hxcrash_mach_msg_header header;
  std::uint8_t ndr[8];
  std::int32_t return_code;
} __attribute__((packed, aligned(4)));
static_assert(sizeof(hxcrash_mach_exception_reply) == 36);

// Size of a request without the state part, for `count` codes (84 bytes for two).
inline constexpr std::uint32_t MShxcrash_mach_exception_request_size(std::uint32_t count) {
  return 24 + 4 + 12 + 12 + 8 + 4 + 4 + 8 * count;
}

// Client calls of the exception interface: send a request to port and wait for the reply's
// return code. Message ids: raise 2405, raise_state 2406, raise_state_identity 2407 (64-bit
// codes); 2401-2403 for the 32-bit-code forms. At most two codes are carried.
vx::kern_return_t MShxcrash_mach_exception_raise(hxcrash_mach_port_t port, vx::thread_t thread, vx::task_t task,
                                                 std::int32_t exception, const std::int64_t* codes, std::uint32_t count,
                                                 bool codes64);
vx::kern_return_t MShxcrash_mach_exception_raise_state(hxcrash_mach_port_t port, std::int32_t exception,
                                                       const std::int64_t* codes, std::uint32_t count,
                                                       std::int32_t flavor, const std::uint32_t* state,
                                                       std::uint32_t state_count, bool codes64);
vx::kern_return_t MShxcrash_mach_exception_raise_state_identity(hxcrash_mach_port_t port, vx::thread_t thread,
                                                                vx::task_t task, std::int32_t exception,
                                                                const std::int64_t* codes, std::uint32_t count,
                                                                std::int32_t flavor, const std::uint32_t* state,
                                                                std::uint32_t state_count, bool codes64);

// What the kernel does with a fault: delivers the exception to the task's port registered for
// its type (KERN_FAILURE when there is none) and returns the handler's answer.
vx::kern_return_t MShxcrash_mach_deliver_exception(vx::thread_t thread, std::int32_t exception,
                                                   const std::int64_t* codes, std::uint32_t count);
