#include "crash-engine/mach/HXCrashMachPorts.h"

#include <chrono>
#include <memory>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace {

struct Message {
  std::uint64_t sequence;
  std::vector<std::uint8_t> bytes;
};

struct Port {
  bool isSet = false;
  bool dead = false;
  std::int32_t sendRefs = 0;
  std::deque<Message> queue;
  hxcrash_mach_port_t memberOf = MSHXCRASH_MACH_PORT_NULL;
  hxcrash_mach_port_t noSendersNotify = MSHXCRASH_MACH_PORT_NULL;
  std::uint32_t noSendersSync = 0;
};

struct ExceptionEntry {
  hxcrash_mach_port_t port = MSHXCRASH_MACH_PORT_NULL;
  std::int32_t behavior = 0;
  std::int32_t flavor = 0;
};

constexpr std::uint32_t kExceptionTypes = 14;

struct PortSpace {
  std::mutex lock;
  std::condition_variable changed;
  std::map<hxcrash_mach_port_t, Port> ports;
  hxcrash_mach_port_t nextName = 0x103;
  std::uint64_t nextSequence = 1;
  ExceptionEntry exceptions[kExceptionTypes];
};

PortSpace& space() {
  static PortSpace* s = new PortSpace();
  return *s;
}

Port* find(PortSpace& s, hxcrash_mach_port_t name) {
  auto it = s.ports.find(name);
  return it == s.ports.end() ? nullptr : &it->second;
}

// Under the lock.
vx::kern_return_t enqueue(PortSpace& s, const hxcrash_mach_msg_header* message) {
  Port* port = find(s, message->remote_port);
  if (port == nullptr || port->dead || port->isSet) return MSHXCRASH_MACH_SEND_INVALID_DEST;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(message);
  port->queue.push_back(Message{s.nextSequence++, std::vector<std::uint8_t>(bytes, bytes + message->size)});
  s.changed.notify_all();
  return vx::KERN_SUCCESS;
}

// Under the lock: send references fell to zero.
void noSenders(PortSpace& s, hxcrash_mach_port_t name, Port& port) {
  if (port.noSendersNotify == MSHXCRASH_MACH_PORT_NULL) return;
  struct {
    hxcrash_mach_msg_header header;
    std::uint8_t ndr[8];
    std::uint32_t sync;
  } notification{};
  notification.header.bits = MSHXCRASH_MACH_MSG_TYPE_MAKE_SEND_ONCE;
  notification.header.size = sizeof notification;
  notification.header.remote_port = port.noSendersNotify;
  notification.header.local_port = name;
  notification.header.id = MSHXCRASH_MACH_NOTIFY_NO_SENDERS;
  notification.sync = port.noSendersSync;
  port.noSendersNotify = MSHXCRASH_MACH_PORT_NULL;  // a send-once right: one notification
  enqueue(s, &notification.header);
}

vx::kern_return_t sendRequestAndWait(hxcrash_mach_exception_request* request, hxcrash_mach_port_t port) {
  hxcrash_mach_port_t reply = MSHXCRASH_MACH_PORT_NULL;
  vx::kern_return_t kr = MShxcrash_mach_port_allocate(MSHXCRASH_MACH_PORT_RIGHT_RECEIVE, &reply);
  if (kr != vx::KERN_SUCCESS) return kr;
  request->header.remote_port = port;
  request->header.local_port = reply;
  request->header.bits = MSHXCRASH_MACH_MSG_TYPE_COPY_SEND;
  kr = MShxcrash_mach_msg_send(reinterpret_cast<hxcrash_mach_msg_header*>(request));
  if (kr == vx::KERN_SUCCESS) {
    hxcrash_mach_exception_reply answer{};
    kr = MShxcrash_mach_msg_receive(reply, reinterpret_cast<hxcrash_mach_msg_header*>(&answer), sizeof answer, -1,
                                    nullptr);
    if (kr == vx::KERN_SUCCESS) kr = answer.return_code;
  }
  MShxcrash_mach_port_mod_refs(reply, MSHXCRASH_MACH_PORT_RIGHT_RECEIVE, -1);
  return kr;
}

void fillRequest(hxcrash_mach_exception_request* request, std::int32_t id, vx::thread_t thread, vx::task_t task,
                 std::int32_t exception, const std::int64_t* codes, std::uint32_t count, bool codes64) {
  std::memset(request, 0, sizeof *request);
  if (count > 2) count = 2;
  request->header.id = codes64 ? id + 4 : id;
  request->descriptor_count = 2;
  request->thread_name = thread;
  request->task_name = task;
  request->exception = exception;
  request->code_count = count;
  for (std::uint32_t i = 0; i < count; ++i) {
    // The 32-bit forms carry the low halves.
    request->codes[i] = codes64 ? codes[i] : static_cast<std::int32_t>(codes[i]);
  }
  request->header.size = MShxcrash_mach_exception_request_size(2);
}

void addState(hxcrash_mach_exception_request* request, std::int32_t flavor, const std::uint32_t* state,
              std::uint32_t state_count) {
  if (state_count > 614) state_count = 614;
  request->flavor = flavor;
  request->state_count = state_count;
  if (state != nullptr) std::memcpy(request->state, state, state_count * 4);
  request->header.size = MShxcrash_mach_exception_request_size(2) + 8 + state_count * 4;
}

}  // namespace

vx::kern_return_t MShxcrash_mach_port_allocate(std::uint32_t right, hxcrash_mach_port_t* name) {
  if (right != MSHXCRASH_MACH_PORT_RIGHT_RECEIVE && right != MSHXCRASH_MACH_PORT_RIGHT_PORT_SET) {
    return vx::KERN_INVALID_VALUE;
  }
  auto& s = space();
  std::lock_guard<std::mutex> guard(s.lock);
  const hxcrash_mach_port_t n = s.nextName;
  s.nextName += 0x100;
  Port& port = s.ports[n];
  port.isSet = right == MSHXCRASH_MACH_PORT_RIGHT_PORT_SET;
  *name = n;
  return vx::KERN_SUCCESS;
}

vx::kern_return_t MShxcrash_mach_port_insert_right(hxcrash_mach_port_t name, std::uint32_t type) {
  if (type != MSHXCRASH_MACH_MSG_TYPE_MAKE_SEND) return vx::KERN_INVALID_VALUE;
  auto& s = space();
  std::lock_guard<std::mutex> guard(s.lock);
  Port* port = find(s, name);
  if (port == nullptr || port->isSet) return vx::KERN_INVALID_NAME;
  if (port->dead) return vx::KERN_INVALID_ARGUMENT;
  ++port->sendRefs;
  return vx::KERN_SUCCESS;
}

vx::kern_return_t MShxcrash_mach_port_mod_refs(hxcrash_mach_port_t name, std::uint32_t right, std::int32_t delta) {
  auto& s = space();
  std::lock_guard<std::mutex> guard(s.lock);
  Port* port = find(s, name);
  if (port == nullptr) return vx::KERN_INVALID_NAME;
  if (right == MSHXCRASH_MACH_PORT_RIGHT_RECEIVE || right == MSHXCRASH_MACH_PORT_RIGHT_PORT_SET) {
    if (delta != -1) return vx::KERN_INVALID_VALUE;
    if (port->isSet) {
      for (auto& [n, p] : s.ports) {
        if (p.memberOf == name) p.memberOf = MSHXCRASH_MACH_PORT_NULL;
      }
      s.ports.erase(name);
    } else {
      port->dead = true;
      port->queue.clear();
      port->memberOf = MSHXCRASH_MACH_PORT_NULL;
      if (port->sendRefs <= 0) s.ports.erase(name);
    }
    s.changed.notify_all();
    return vx::KERN_SUCCESS;
  }
  if (port->sendRefs + delta < 0) return vx::KERN_INVALID_VALUE;
  port->sendRefs += delta;
  if (port->sendRefs == 0) {
    if (port->dead) {
      s.ports.erase(name);
    } else if (delta < 0) {
      noSenders(s, name, *port);
    }
  }
  return vx::KERN_SUCCESS;
}

vx::kern_return_t MShxcrash_mach_port_deallocate(hxcrash_mach_port_t name) {
  return MShxcrash_mach_port_mod_refs(name, MSHXCRASH_MACH_PORT_RIGHT_SEND, -1);
}

std::int32_t MShxcrash_mach_port_send_refs(hxcrash_mach_port_t name) {
  auto& s = space();
  std::lock_guard<std::mutex> guard(s.lock);
  Port* port = find(s, name);
  return port == nullptr ? 0 : port->sendRefs;
}

bool MShxcrash_mach_port_is_dead(hxcrash_mach_port_t name) {
  if (name == MSHXCRASH_MACH_PORT_DEAD) return true;
  auto& s = space();
  std::lock_guard<std::mutex> guard(s.lock);
  Port* port = find(s, name);
  return port != nullptr && port->dead;
}

vx::kern_return_t MShxcrash_mach_port_move_member(hxcrash_mach_port_t member, hxcrash_mach_port_t set) {
  auto& s = space();
  std::lock_guard<std::mutex> guard(s.lock);
  Port* port = find(s, member);
  Port* target = find(s, set);
  if (port == nullptr || port->isSet || port->dead) return vx::KERN_INVALID_NAME;
  if (target == nullptr || !target->isSet) return vx::KERN_INVALID_NAME;
  port->memberOf = set;
  s.changed.notify_all();
  return vx::KERN_SUCCESS;
}

vx::kern_return_t MShxcrash_mach_port_request_notification(hxcrash_mach_port_t name, std::uint32_t variant,
                                                           std::uint32_t sync, hxcrash_mach_port_t notify) {
  if (variant != MSHXCRASH_MACH_NOTIFY_NO_SENDERS) return vx::KERN_INVALID_VALUE;
  auto& s = space();
  std::lock_guard<std::mutex> guard(s.lock);
  Port* port = find(s, name);
  if (port == nullptr || port->isSet || port->dead) return vx::KERN_INVALID_NAME;
  port->noSendersNotify = notify;
  port->noSendersSync = sync;
  return vx::KERN_SUCCESS;
}

vx::kern_return_t MShxcrash_mach_msg_send(const hxcrash_mach_msg_header* message) {
  if (message == nullptr || message->size < sizeof(hxcrash_mach_msg_header)) {
    return vx::KERN_INVALID_ARGUMENT;
  }
  auto& s = space();
  std::lock_guard<std::mutex> guard(s.lock);
  return enqueue(s, message);
}

vx::kern_return_t MShxcrash_mach_msg_receive(hxcrash_mach_port_t name, hxcrash_mach_msg_header* buffer,
                                             std::uint32_t buffer_size, std::int32_t timeout_ms,
                                             hxcrash_mach_port_t* from) {
  auto& s = space();
  std::unique_lock<std::mutex> guard(s.lock);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    Port* port = find(s, name);
    if (port == nullptr) return MSHXCRASH_MACH_RCV_INVALID_NAME;
    if (port->dead) return MSHXCRASH_MACH_RCV_PORT_DIED;
    // The oldest message of the port, or of the set's members.
    Port* source = nullptr;
    hxcrash_mach_port_t sourceName = MSHXCRASH_MACH_PORT_NULL;
    if (!port->isSet) {
      if (!port->queue.empty()) {
        source = port;
        sourceName = name;
      }
    } else {
      for (auto& [n, p] : s.ports) {
        if (p.memberOf != name || p.queue.empty()) continue;
        if (source == nullptr || p.queue.front().sequence < source->queue.front().sequence) {
          source = &p;
          sourceName = n;
        }
      }
    }
    if (source != nullptr) {
      Message& message = source->queue.front();
      if (message.bytes.size() > buffer_size) {
        buffer->size = static_cast<std::uint32_t>(message.bytes.size());
        return MSHXCRASH_MACH_RCV_TOO_LARGE;
      }
      std::memcpy(buffer, message.bytes.data(), message.bytes.size());
      source->queue.pop_front();
      if (from != nullptr) *from = sourceName;
      return vx::KERN_SUCCESS;
    }
    if (timeout_ms < 0) {
      s.changed.wait(guard);
    } else if (s.changed.wait_until(guard, deadline) == std::cv_status::timeout) {
      return MSHXCRASH_MACH_RCV_TIMED_OUT;
    }
  }
}

vx::kern_return_t MShxcrash_task_get_exception_ports(vx::task_t task, std::uint32_t mask, std::uint32_t* masks,
                                                     std::uint32_t* count, hxcrash_mach_port_t* ports,
                                                     std::int32_t* behaviors, std::int32_t* flavors) {
  if (task != vx::mach_task_self()) return vx::KERN_INVALID_ARGUMENT;
  auto& s = space();
  std::lock_guard<std::mutex> guard(s.lock);
  const std::uint32_t capacity = *count;
  std::uint32_t n = 0;
  for (std::uint32_t type = 1; type < kExceptionTypes; ++type) {
    if ((mask & (1u << type)) == 0) continue;
    const ExceptionEntry& entry = s.exceptions[type];
    if (entry.port == MSHXCRASH_MACH_PORT_NULL) continue;
    std::uint32_t i = 0;
    while (i < n && !(ports[i] == entry.port && behaviors[i] == entry.behavior && flavors[i] == entry.flavor)) {
      ++i;
    }
    if (i == n) {
      if (n == capacity) break;
      ports[n] = entry.port;
      behaviors[n] = entry.behavior;
      flavors[n] = entry.flavor;
      masks[n] = 0;
      if (Port* p = find(s, entry.port)) ++p->sendRefs;
      ++n;
    }
    masks[i] |= 1u << type;
  }
  *count = n;
  return vx::KERN_SUCCESS;
}

vx::kern_return_t MShxcrash_task_swap_exception_ports(vx::task_t task, std::uint32_t mask, hxcrash_mach_port_t port,
                                                      std::int32_t behavior, std::int32_t flavor, std::uint32_t* masks,
                                                      std::uint32_t* count, hxcrash_mach_port_t* ports,
                                                      std::int32_t* behaviors, std::int32_t* flavors) {
  vx::kern_return_t kr = MShxcrash_task_get_exception_ports(task, mask, masks, count, ports, behaviors, flavors);
  if (kr != vx::KERN_SUCCESS) return kr;
  auto& s = space();
  std::lock_guard<std::mutex> guard(s.lock);
  for (std::uint32_t type = 1; type < kExceptionTypes; ++type) {
    if ((mask & (1u << type)) == 0) continue;
    ExceptionEntry& entry = s.exceptions[type];
    if (entry.port != MSHXCRASH_MACH_PORT_NULL) {
      if (Port* old = find(s, entry.port)) --old->sendRefs;  // the table's own reference
    }
    entry = ExceptionEntry{port, behavior, flavor};
    if (Port* p = find(s, port)) ++p->sendRefs;
  }
  return vx::KERN_SUCCESS;
}

void MShxcrash_task_reset_exception_ports() {
  auto& s = space();
  std::lock_guard<std::mutex> guard(s.lock);
  for (auto& entry : s.exceptions) {
    if (Port* p = find(s, entry.port)) --p->sendRefs;
    entry = ExceptionEntry{};
  }
}

vx::kern_return_t MShxcrash_mach_exception_raise(hxcrash_mach_port_t port, vx::thread_t thread, vx::task_t task,
                                                 std::int32_t exception, const std::int64_t* codes, std::uint32_t count,
                                                 bool codes64) {
  auto request = std::make_unique<hxcrash_mach_exception_request>();
  fillRequest(request.get(), 2401, thread, task, exception, codes, count, codes64);
  return sendRequestAndWait(request.get(), port);
}

vx::kern_return_t MShxcrash_mach_exception_raise_state(hxcrash_mach_port_t port, std::int32_t exception,
                                                       const std::int64_t* codes, std::uint32_t count,
                                                       std::int32_t flavor, const std::uint32_t* state,
                                                       std::uint32_t state_count, bool codes64) {
  auto request = std::make_unique<hxcrash_mach_exception_request>();
  fillRequest(request.get(), 2402, 0, 0, exception, codes, count, codes64);
  request->descriptor_count = 0;
  addState(request.get(), flavor, state, state_count);
  return sendRequestAndWait(request.get(), port);
}

vx::kern_return_t MShxcrash_mach_exception_raise_state_identity(hxcrash_mach_port_t port, vx::thread_t thread,
                                                                vx::task_t task, std::int32_t exception,
                                                                const std::int64_t* codes, std::uint32_t count,
                                                                std::int32_t flavor, const std::uint32_t* state,
                                                                std::uint32_t state_count, bool codes64) {
  auto request = std::make_unique<hxcrash_mach_exception_request>();
  fillRequest(request.get(), 2403, thread, task, exception, codes, count, codes64);
  addState(request.get(), flavor, state, state_count);
  return sendRequestAndWait(request.get(), port);
}

vx::kern_return_t MShxcrash_mach_deliver_exception(vx::thread_t thread, std::int32_t exception,
                                                   const std::int64_t* codes, std::uint32_t count) {
  ExceptionEntry entry;
  {
    auto& s = space();
    std::lock_guard<std::mutex> guard(s.lock);
    if (exception <= 0 || static_cast<std::uint32_t>(exception) >= kExceptionTypes) {
      return vx::KERN_FAILURE;
    }
    entry = s.exceptions[exception];
  }
  if (entry.port == MSHXCRASH_MACH_PORT_NULL) return vx::KERN_FAILURE;
  const bool codes64 = (static_cast<std::uint32_t>(entry.behavior) & 0x80000000u) != 0;
  const std::int32_t behavior = static_cast<std::int32_t>(entry.behavior & ~0x80000000);
  switch (behavior) {
    case 1:
      return MShxcrash_mach_exception_raise(entry.port, thread, vx::mach_task_self(), exception, codes, count, codes64);
    case 2:
      return MShxcrash_mach_exception_raise_state(entry.port, exception, codes, count, entry.flavor, nullptr, 0,
                                                  codes64);
    case 3:
      return MShxcrash_mach_exception_raise_state_identity(entry.port, thread, vx::mach_task_self(), exception, codes,
                                                           count, entry.flavor, nullptr, 0, codes64);
    default:
      return vx::KERN_FAILURE;
  }
}
