#include "common/atomic_file.h"

#include <string>
#include <utility>

namespace tesmira {
namespace {

namespace fs = std::filesystem;

bool moveReplacing(const fs::path& from, const fs::path& to) {
  return MoveFileExW(from.wstring().c_str(), to.wstring().c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
}

// Deleting the temporary file keeps the last error: callers report the failure before it.
void deleteKeepingLastError(const fs::path& path) {
  const DWORD error = GetLastError();
  DeleteFileW(path.wstring().c_str());
  SetLastError(error);
}

}  // namespace

fs::path uniqueTemporaryPath(const fs::path& target) {
  fs::path temporary = target;
  temporary += "." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(GetCurrentThreadId()) + "." +
               std::to_string(GetTickCount64()) + ".tmp";
  return temporary;
}

AtomicFileWriter::AtomicFileWriter(fs::path target, fs::path temporary)
    : target_(std::move(target)), temporary_(std::move(temporary)) {
  out_.open(temporary_, std::ios::binary | std::ios::trunc);
  opened_ = out_.is_open();
  pending_ = opened_;
}

AtomicFileWriter::~AtomicFileWriter() { discard(); }

void AtomicFileWriter::discard() {
  if (!pending_) return;
  pending_ = false;
  out_.close();
  deleteKeepingLastError(temporary_);
}

AtomicWrite AtomicFileWriter::commit() {
  if (!pending_) return AtomicWrite::kNotWritten;
  out_.close();
  if (!out_) {
    discard();
    return AtomicWrite::kNotWritten;
  }
  pending_ = false;
  if (moveReplacing(temporary_, target_) || moveReplacing(temporary_, target_)) return AtomicWrite::kDone;
  deleteKeepingLastError(temporary_);
  return AtomicWrite::kNotReplaced;
}

AtomicWrite writeFileAtomically(const fs::path& target, std::string_view content, const fs::path& temporary) {
  AtomicFileWriter writer(target, temporary);
  if (!writer.opened()) return AtomicWrite::kNotWritten;
  writer.stream().write(content.data(), std::streamsize(content.size()));
  return writer.commit();
}

AtomicWrite writeFileAtomically(const fs::path& target, std::string_view content) {
  return writeFileAtomically(target, content, uniqueTemporaryPath(target));
}

}  // namespace tesmira
