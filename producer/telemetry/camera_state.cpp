#include "producer/telemetry/camera_state.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <type_traits>
#include <vector>

#include "producer/retouch_settings_fields.h"
#include "producer/telemetry/telemetry_endpoint.h"

namespace tesmira::telemetry {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back.
int64_t daysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = unsigned(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = int64_t(yoe) + era * 400 + (m <= 2);
}

// A field's number in the fingerprint: a strength in percent, a tone by its index.
template <typename Field>
int32_t fingerprintValue(const Field& field, const RetouchSettings& r) {
  if constexpr (std::is_same_v<typename Field::ValueType, int32_t>) {
    return toneIndexOrNatural(r.*field.record);
  } else {
    return strengthPercent(float(r.*field.record));
  }
}

}  // namespace

std::string reasonName(int32_t reason) {
  switch (reason) {
    case 1:
      return "no_face";
    case 2:
      return "bypass";
    case 3:
      return "zero_strength";
    case 5:
      return "model_error";
    default:
      return "none";
  }
}

int32_t strengthPercent(float strength) {
  if (std::isnan(strength)) return 0;  // settings arrive unchecked
  const float percent = std::clamp(strength, 0.0f, 1.0f) * 100.0f;
  return int32_t(std::lround(percent));
}

std::string fingerprintText(const CameraStateSnapshot& s) {
  std::string text = std::string("enabled=") + (s.bypass ? "0" : "1");
  forEachSettingsField([&](const auto& field) {
    if (!field.fingerprintName) return;
    text += std::string("|") + field.fingerprintName + "=" + std::to_string(fingerprintValue(field, s.settings));
  });
  return text;
}

nlohmann::json buildEffectFingerprint(const CameraStateSnapshot& s) {
  nlohmann::json active = nlohmann::json::array();
  if (!s.bypass) {
    for (const char* group : kEffectGroups) {
      bool on = false;
      forEachSettingsField([&](const auto& field) {
        if (field.effectGroup && std::strcmp(field.effectGroup, group) == 0) {
          on = on || float(s.settings.*field.record) > 0.01f;
        }
      });
      if (on) active.push_back(group);
    }
  }
  nlohmann::json f = nlohmann::json::object();
  f["settings_hash"] = sha256Hex(fingerprintText(s));
  f["effect_enabled"] = !s.bypass && !active.empty();
  f["active_effects"] = std::move(active);
  forEachSettingsField([&](const auto& field) {
    if (field.fingerprintMember) f[field.fingerprintMember] = fingerprintValue(field, s.settings);
  });
  return f;
}

std::string effectLevel(const nlohmann::json& fingerprint, const char* member) {
  auto it = fingerprint.find(member);
  if (it == fingerprint.end() || !it->is_number_integer()) return "unknown";
  const int64_t value = it->get<int64_t>();
  if (value < 2) return "off";
  if (value < 34) return "low";
  if (value >= 67) return "high";
  return "medium";
}

std::string effectLevelKey(const nlohmann::json& f) {
  return effectLevel(f, "clear_skin_value") + ":" + effectLevel(f, "teeth_value") + ":" +
         effectLevel(f, "eye_white_value") + ":" + effectLevel(f, "eye_bags_value") + ":" +
         effectLevel(f, "wrinkles_value");
}

std::string sha256Hex(const std::string& bytes) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) return {};
  std::string hex;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    std::vector<UCHAR> input(bytes.begin(), bytes.end());
    UCHAR digest[32];
    if (BCRYPT_SUCCESS(BCryptHashData(hash, input.data(), ULONG(input.size()), 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, sizeof(digest), 0))) {
      static const char* kDigits = "0123456789abcdef";
      for (UCHAR b : digest) {
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 15]);
      }
    }
    BCryptDestroyHash(hash);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return hex;
}

std::string utcTimestamp(int64_t unixSeconds) {
  int64_t days = unixSeconds / 86400;
  int64_t rest = unixSeconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t year = 0;
  unsigned month = 0, day = 0;
  civilFromDays(days, year, month, day);
  char text[40];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02u:%02u:%02uZ", static_cast<long long>(year), month, day,
                unsigned(rest / 3600), unsigned(rest / 60 % 60), unsigned(rest % 60));
  return text;
}

std::string utcTimestampNow() { return utcTimestamp(unixNow()); }

int64_t parseUtcTimestamp(const std::string& text) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2dZ%n", &year, &month, &day, &hour, &minute, &second,
                  &consumed) != 6 ||
      consumed == 0) {
    return 0;
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 || hour < 0 ||
      minute < 0 || second < 0) {
    return 0;
  }
  return daysFromCivil(year, unsigned(month), unsigned(day)) * 86400 + hour * 3600 + minute * 60 + second;
}

std::string shortNumber(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace tesmira::telemetry
