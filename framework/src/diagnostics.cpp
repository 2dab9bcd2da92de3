// Diagnostics of the registries: the diagnostic sink, the report of an
// unresolved static call, and the registration log.
#include <cstdio>
#include <mutex>
#include <shared_mutex>

#include "norvo/registry.h"
#include "registries.h"

namespace norvo {

void internal::Log(Registries& registries, std::initializer_list<std::string_view> pieces) noexcept {
  String line;
  for (std::string_view piece : pieces)
    if (!line.Append(piece)) return;
  (void)registries.log.Append(std::move(line));
}

void internal::Diagnose(std::string_view line) noexcept {
  internal::Registries& r = internal::TheRegistries();
  DiagnosticSink sink;
  void* context;
  {
    std::shared_lock lock(r.mutex);
    sink = r.sink;
    context = r.sinkContext;
  }
  if (sink) sink(line, context);
  else std::fprintf(stderr, "%.*s\n", int(line.size()), line.data());
}

void SetDiagnosticSink(DiagnosticSink sink, void* context) noexcept {
  internal::Registries& r = internal::TheRegistries();
  std::unique_lock lock(r.mutex);
  r.sink = sink;
  r.sinkContext = context;
}

void ReportUnresolved(const InterfaceDecl& iface) noexcept {
  char line[256];
  int length = std::snprintf(line, sizeof line, "Method invocation of unresolvable interface %.*s",
                             int(iface.id.size()), iface.id.data());
  std::size_t size = length < 0 ? 0 : length < int(sizeof line) ? std::size_t(length) : sizeof line - 1;
  internal::Diagnose(std::string_view(line, size));
  internal::Diagnose("Stop");
}

Result<BaseArray<String>> GetRegistrationLog() noexcept {
  internal::Registries& r = internal::TheRegistries();
  std::shared_lock lock(r.mutex);
  BaseArray<String> lines;
  NORVO_RETURN_IF_ERROR(lines.CopyFrom(r.log));
  return lines;
}

void ClearRegistrationLog() noexcept {
  internal::Registries& r = internal::TheRegistries();
  std::unique_lock lock(r.mutex);
  r.log.Reset();
}

}  // namespace norvo
