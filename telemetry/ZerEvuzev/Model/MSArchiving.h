// Keyed archiving of the telemetry classes through the foundation's archiver. The helpers here
// register every class of this library once (thread-safe) before they decode, so no caller has
// to remember to. Other telemetry libraries register their own classes with
// vx::KeyedUnarchiver::registerClass.
#pragma once

#include "platform/foundation/KeyedArchiver.h"

#include <memory>
#include <vector>

// Registers the model, history and device classes of this library; safe to call repeatedly.
void MSRegisterArchivableClasses();

// The archive of one object or of an array of objects.
inline vx::Result<vx::Bytes> MSArchivedData(const vx::Archivable& root) {
  return vx::KeyedArchiver::archivedData(root);
}
inline vx::Result<vx::Bytes> MSArchivedData(const vx::ArchivableArray& roots) {
  return vx::KeyedArchiver::archivedData(roots);
}

// The root object as T; an Error for corrupt bytes, unknown classes or a root of another class.
template <class T>
vx::Result<std::shared_ptr<T>> MSUnarchiveObject(const vx::Bytes& data) {
  MSRegisterArchivableClasses();
  return vx::KeyedUnarchiver::unarchiveObjectOfClass<T>(data);
}

// A root array whose every element is a T; an Error when any element is missing or of another
// class, so a damaged history is never half-read.
template <class T>
vx::Result<std::vector<std::shared_ptr<T>>> MSUnarchiveObjects(const vx::Bytes& data) {
  MSRegisterArchivableClasses();
  auto objects = vx::KeyedUnarchiver::unarchiveObjects(data);
  if (!objects) return objects.error();
  std::vector<std::shared_ptr<T>> typed;
  typed.reserve(objects->size());
  for (const auto& object : *objects) {
    auto element = std::dynamic_pointer_cast<T>(object);
    if (!element) {
      return vx::Error(vx::kArchiveErrorDomain, vx::kArchiveErrorWrongType,
                       "An element of the archived array is not of the expected class.");
    }
    typed.push_back(std::move(element));
  }
  return typed;
}
