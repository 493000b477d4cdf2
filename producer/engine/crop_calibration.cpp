#include "producer/engine/crop_calibration.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>

#include "common/bounded_json.h"
#include "producer/options.h"

namespace tesmira {
namespace {

using nlohmann::json;

CropCalibration::Point readPoint(const json& value) {
  if (!value.is_array() || value.size() != 2) throw std::runtime_error("Expected a 2D point in calibration JSON.");
  return {value[0].get<double>(), value[1].get<double>()};
}

// A float index outside the 32-bit range would make the conversion undefined.
std::vector<int32_t> readIndices(const json& value) {
  std::vector<int32_t> indices;
  for (const json& item : value.get<std::vector<json>>()) {
    if (item.is_number_float()) {
      double d = item.get<double>();
      if (!(d >= std::numeric_limits<int32_t>::min() && d <= std::numeric_limits<int32_t>::max()))
        throw std::runtime_error("Calibration anchor index is not a 32-bit integer.");
      indices.push_back(int32_t(d));
    } else if (item.is_number_integer()) {
      int64_t i = item.is_number_unsigned() && item.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max())
                      ? std::numeric_limits<int64_t>::max()
                      : item.get<int64_t>();
      if (i < std::numeric_limits<int32_t>::min() || i > std::numeric_limits<int32_t>::max())
        throw std::runtime_error("Calibration anchor index is not a 32-bit integer.");
      indices.push_back(int32_t(i));
    } else {
      indices.push_back(item.get<int32_t>());  // the JSON library's type error
    }
  }
  if (indices.empty()) throw std::runtime_error("Calibration anchor index list is empty.");
  return indices;
}

CropCalibration::Point anchor(const std::vector<LandmarkPoint>& points, const std::vector<int32_t>& indices) {
  double sx = 0, sy = 0;
  for (int32_t i : indices) {
    if (i < 0 || size_t(i) >= points.size())
      throw std::runtime_error("MediaPipe landmark result is missing calibration anchor index.");
    sx += points[size_t(i)].x;
    sy += points[size_t(i)].y;
  }
  double n = double(indices.size());
  return {sx / n, sy / n};
}

}  // namespace

void CropCalibration::load(const std::filesystem::path& file) {
  std::string text;
  if (!readWholeFile(file, text)) throw std::runtime_error("Could not open calibration: " + utf8Path(file));
  if (jsonNestsDeeperThan(text, kJsonDepthLimit)) {
    throw std::runtime_error("Calibration nests too deep: " + utf8Path(file));
  }
  json j = json::parse(text);

  CropCalibration c;
  c.anchor_left_indices = readIndices(j.at("anchor_left_indices"));
  c.anchor_right_indices = readIndices(j.at("anchor_right_indices"));
  c.features = j.at("features").get<std::vector<std::string>>();
  c.feature_mean = j.at("feature_mean").get<std::vector<double>>();
  c.feature_scale = j.at("feature_scale").get<std::vector<double>>();
  c.constant_mask = j.at("constant_mask").get<std::vector<bool>>();
  c.template_left_px = readPoint(j.at("template_left_px"));
  c.template_right_px = readPoint(j.at("template_right_px"));
  const json& coef = j.at("coef");
  if (!coef.is_array() || coef.empty()) throw std::runtime_error("Calibration coef must be Nx4.");
  for (const json& row : coef) {
    if (!row.is_array() || row.size() != 4) throw std::runtime_error("Calibration coef must be Nx4.");
    c.coef.push_back({row[0].get<double>(), row[1].get<double>(), row[2].get<double>(), row[3].get<double>()});
  }
  // A scale that divides (a feature not marked constant) must give a finite quotient.
  for (size_t i = 0; i < c.feature_scale.size(); ++i) {
    bool constant = i < c.constant_mask.size() && c.constant_mask[i];
    double s = c.feature_scale[i];
    if (!constant && (!std::isfinite(s) || s == 0.0))
      throw std::runtime_error("Calibration feature_scale must be finite and non-zero.");
  }
  *this = std::move(c);
}

std::array<double, 4> CropCalibration::predictPoints(const std::vector<LandmarkPoint>& points) const {
  Point left = anchor(points, anchor_left_indices);
  Point right = anchor(points, anchor_right_indices);
  double dx = right.x - left.x, dy = right.y - left.y;
  double d = std::max(std::sqrt(dx * dx + dy * dy), 1e-6);
  double mx = (left.x + right.x) / 2, my = (left.y + right.y) / 2;
  double ux = dx / d, uy = dy / d;

  if (points.size() < 2) throw std::runtime_error("MediaPipe landmark result is missing nose tip index.");
  double rx = points[1].x - mx, ry = points[1].y - my;
  double noseX = (rx * ux + ry * uy) / d;
  double noseY = (-rx * uy + ry * ux) / d;

  // Per frame, so the features are read in place rather than gathered into a list.
  auto value = [&](const std::string& name) {
    if (name == "constant") return 1.0;
    if (name == "nose_x") return noseX;
    if (name == "nose_y") return noseY;
    throw std::runtime_error("Unsupported calibration feature: " + name);
  };
  for (const std::string& name : features) value(name);
  if (features.size() != coef.size()) throw std::runtime_error("Calibration feature/coefficient size mismatch.");
  std::array<double, 4> a{};
  for (size_t i = 0; i < features.size(); ++i) {
    const double v = value(features[i]);
    double z = constant_mask.at(i) ? v : (v - feature_mean.at(i)) / feature_scale.at(i);
    for (size_t k = 0; k < 4; ++k) a[k] += z * coef[i][k];
  }
  return {(ux * a[0] - uy * a[1]) * d + mx, (uy * a[0] + ux * a[1]) * d + my,
          (ux * a[2] - uy * a[3]) * d + mx, (uy * a[2] + ux * a[3]) * d + my};
}

std::array<double, 6> CropCalibration::cropPoints(const std::vector<LandmarkPoint>& points) const {
  auto [x0, y0, x1, y1] = predictPoints(points);
  double tx = template_right_px.x - template_left_px.x, ty = template_right_px.y - template_left_px.y;
  double px = x1 - x0, py = y1 - y0;
  double n = std::max(px * px + py * py, 1e-9);
  double a = (tx * px + ty * py) / n;
  double b = (ty * px - tx * py) / n;
  std::array<double, 6> m = {a, -b, template_left_px.x - (a * x0 - b * y0),
                             b, a,  template_left_px.y - (b * x0 + a * y0)};
  // Non-finite landmarks or coefficients would reach the warp and its integer casts.
  for (double v : m)
    if (!std::isfinite(v)) throw std::runtime_error("Calibration produced a non-finite crop transform.");
  return m;
}

}  // namespace tesmira
