#include "common/file_log.h"

#include <cstdio>
#include <fstream>
#include <system_error>

#include "common/program_data.h"

namespace tesmira {
namespace {

namespace fs = std::filesystem;

// UTF-8 of wide text; what cannot be encoded becomes U+FFFD.
std::string utf8(const std::wstring& text) {
  if (text.empty()) return {};
  int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(size_t(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace

std::filesystem::path logFileUnder(const std::filesystem::path& base, const std::wstring& name) {
  // Without a base there is nowhere to write: a relative log file would land anywhere.
  return base.empty() ? std::filesystem::path() : base / L"Tesmira" / L"Logs" / name;
}

namespace {

// Empty without a product folder: the logger then writes nothing.
std::filesystem::path productLogPath(const wchar_t* name) {
  try {
    return logFileUnder(programDataFolder(), name);
  } catch (const std::filesystem::filesystem_error&) {
    return {};
  }
}

}  // namespace

std::filesystem::path serviceLogPath() { return productLogPath(L"vcam-service.log"); }
std::filesystem::path agentLogPath() { return productLogPath(L"vcam-agent.log"); }

void appendLogLine(const std::wstring& message) {
  try {
    appendLogLineTo(serviceLogPath(), message);
  } catch (...) {
  }
}

std::string formatLogLine(const SYSTEMTIME& t, const std::string& message) {
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", unsigned(t.wYear), unsigned(t.wMonth),
                unsigned(t.wDay), unsigned(t.wHour), unsigned(t.wMinute), unsigned(t.wSecond));
  return stamp + message;
}

void appendLogLineTo(const std::filesystem::path& file, const std::string& message) {
  try {
    if (file.empty()) return;
    std::error_code ignored;
    fs::create_directories(file.parent_path(), ignored);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    // The whole line in one write, so lines of several processes interleave whole.
    const std::string line = formatLogLine(now, message) + "\r\n";
    std::ofstream out(file, std::ios::binary | std::ios::app);
    if (!out) return;
    out.write(line.data(), std::streamsize(line.size()));
  } catch (...) {
  }
}

void appendLogLineTo(const std::filesystem::path& file, const std::wstring& message) {
  try {
    appendLogLineTo(file, utf8(message));
  } catch (...) {
  }
}

}  // namespace tesmira
