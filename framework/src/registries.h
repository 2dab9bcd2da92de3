// The registries that the registration, loader and diagnostics units of the
// framework share; not installed. Every table is keyed by id text and guarded
// by one reader-writer lock.
#pragma once
#include <initializer_list>
#include <atomic>
#include <shared_mutex>
#include <string_view>

#include "norvo/array.h"
#include "norvo/hashmap.h"
#include "norvo/object.h"
#include "norvo/registry.h"
#include "norvo/string.h"

namespace norvo::internal {

struct Registries {
  std::shared_mutex mutex;
  HashMap<String, Class*> classes;  // owns the classes
  HashMap<String, const ComponentInfo*> components;
  HashMap<String, const StaticImpl*> statics;
  // Changes with every registration and release of static methods, so that
  // a cached lookup can tell it is stale.
  std::atomic<UInt> staticsGeneration{0};
  HashMap<String, const InterfaceDecl*> interfaces;
  HashMap<String, const InterfaceDecl*> dataTypes;
  HashMap<String, bool> modules;
  BaseArray<String> log;
  DiagnosticSink sink = nullptr;
  void* sinkContext = nullptr;
};

// The process's registries. They live as long as the process, so that late
// releases never meet a destroyed table.
Registries& TheRegistries() noexcept;

// Appends the concatenation of `pieces` as one line to the registration log;
// the caller holds the write lock. The log is a diagnostic aid: a line that
// cannot be kept is dropped.
void Log(Registries& registries, std::initializer_list<std::string_view> pieces) noexcept;

// Writes one diagnostic line to the sink, or to standard error without one.
void Diagnose(std::string_view line) noexcept;

}  // namespace norvo::internal
