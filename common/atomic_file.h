#pragma once
// "Write a temporary file beside the target, then move it over the target", once: a
// reader finds the old file or the new one, never a half-written one, and a failure
// leaves the old file byte for byte.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string_view>

namespace tesmira {

enum class AtomicWrite {
  kDone,
  kNotWritten,   // the temporary file could not be created or written
  kNotReplaced,  // the move over the target failed; GetLastError() tells why
};

// A name beside `target` that no other thread or process writes at the same time:
// "<target>.<process id>.<thread id>.<tick>.tmp".
std::filesystem::path uniqueTemporaryPath(const std::filesystem::path& target);

// One write: the content goes to the temporary file through stream(), commit() puts it
// in place. The folder must exist. Whatever is not committed, the temporary file goes
// when the writer does.
class AtomicFileWriter {
 public:
  // Creates (truncates) `temporary`; `target` is not touched before commit().
  AtomicFileWriter(std::filesystem::path target, std::filesystem::path temporary);
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  bool opened() const { return opened_; }
  std::ofstream& stream() { return out_; }
  const std::filesystem::path& temporary() const { return temporary_; }

  // Closes the temporary file and moves it over the target, once more when the first
  // move fails. The target is never deleted to make room: a failed second move would
  // lose it. On failure the temporary file is gone.
  AtomicWrite commit();
  // Closes and deletes the temporary file; the target stays as it was.
  void discard();

 private:
  std::filesystem::path target_;
  std::filesystem::path temporary_;
  std::ofstream out_;
  bool opened_ = false;
  bool pending_ = false;
};

// The whole content at once, through a temporary file of a unique name.
AtomicWrite writeFileAtomically(const std::filesystem::path& target, std::string_view content);
// The same through a temporary file of the caller's name.
AtomicWrite writeFileAtomically(const std::filesystem::path& target, std::string_view content,
                                const std::filesystem::path& temporary);

}  // namespace tesmira
