#pragma once
// Builds the data folder from the public face models and media: converted landmark models,
// the authored retouch graphs, masks, lookup tables and the crop calibration.
#include <opencv2/core.hpp>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/models/authored_graphs.h"

namespace tesmira::models {

struct CanonicalFace {
  std::vector<cv::Point3f> vertices;        // 468, centimetres, y up
  std::vector<std::array<int, 3>> triangles;  // 898
};

// The canonical face of the face-geometry metadata (a protobuf, read by hand).
CanonicalFace readCanonicalFace(const std::string& binarypb);
// The canonical vertices in skin-crop pixels: the eye centres on (110, 216) and (210, 216).
std::vector<cv::Point2f> canonicalCropPoints(const CanonicalFace& face);

// The eye effects' geometry the skin mask is painted for: twelve eye points (landmark, then
// the point in 0..1 of the skin mask it is warped from), each eye's fixed point shift, and
// eight triangles of those points (indices into the twelve).
struct EyeTemplatePoint {
  int landmark;
  float u, v;
};
extern const std::array<EyeTemplatePoint, 12> kEyeTemplate;
extern const std::array<std::array<int, 3>, 8> kEyeTriangles;
// Where the eye effects move point `index` (0..11) found at `p`.
cv::Point2f shiftEyePoint(int index, cv::Point2f p);

// 8-bit BGR masks; only the channel the engine reads is filled.
cv::Mat buildFacemask(const CanonicalFace& face);  // 320x512, red
cv::Mat buildSkinMask(const CanonicalFace& face);  // 320x512, blue, in the eye template's space
cv::Mat buildTeethMask();                          // 128x128, red
SkinZones buildSkinZones(const CanonicalFace& face);

// 256x16 tables (tile by blue, column by red, row by green). Names: "lookup" (eye white),
// "warm", "soft", "studio", "window", "presenting". Tone atlases are BGRA, lookup BGR.
cv::Mat buildLookupTable(const std::string& look);

// A ZIP archive of stored (uncompressed) entries.
std::string zipStored(const std::vector<std::pair<std::string, std::string>>& entries);

struct DataInputs {
  std::filesystem::path models;  // face_detection_short_range.tflite, face_landmark.tflite, geometry binarypb
  std::filesystem::path media;   // Megamind.avi
};

// Writes the whole folder (see the set-up); throws std::runtime_error.
void buildDataFolder(const DataInputs& inputs, const std::filesystem::path& out);

}  // namespace tesmira::models
