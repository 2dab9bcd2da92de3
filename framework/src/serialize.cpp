#include "norvo/serialize.h"

#include <new>

namespace norvo {

Result<void> RecordingStream::DescribeElement(std::string_view name, std::string_view dataType,
                                              MemberRef member, const ContainerAccessor* accessor,
                                              std::uint32_t flags) noexcept {
  if (seen_++ == failAt_) return failure_;
  try {
    calls_.push_back(Call{std::string(name), std::string(dataType), member.IsSet(), member.IsSet() ? member.offset : 0,
                          accessor != nullptr, flags});
  } catch (const std::bad_alloc&) {
    return OutOfMemoryError();
  }
  return {};
}

}  // namespace norvo
