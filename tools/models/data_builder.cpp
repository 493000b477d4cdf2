#include "tools/models/data_builder.h"

#include <onnxruntime_cxx_api.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <stdexcept>

#include "producer/retouch_settings.h"
#include "tools/models/tflite_to_onnx.h"

namespace tesmira::models {
namespace {

constexpr int kCropW = 320, kCropH = 512;

std::string readAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("Could not open " + file.string());
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Protobuf reading: just enough for the face-geometry metadata.
struct Reader {
  const std::string& b;
  size_t at = 0, end = 0;
  uint64_t varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (at >= end) throw std::runtime_error("Malformed face geometry: truncated varint");
      uint8_t c = uint8_t(b[at++]);
      v |= uint64_t(c & 0x7f) << shift;
      if (c < 0x80) return v;
    }
    throw std::runtime_error("Malformed face geometry: long varint");
  }
  size_t take(size_t n) {
    if (n > end - at) throw std::runtime_error("Malformed face geometry: field past the end");
    size_t start = at;
    at += n;
    return start;
  }
};

cv::Point2f eyeCentre(const std::vector<cv::Point2f>& p, const std::vector<int>& contour) {
  cv::Point2f c(0, 0);
  for (int i : contour) c += p[size_t(i)];
  return c * (1.0f / float(contour.size()));
}

std::vector<cv::Point> polygon(const std::vector<cv::Point2f>& p, const std::vector<int>& idx, float grow = 1.0f) {
  cv::Point2f c(0, 0);
  for (int i : idx) c += p[size_t(i)];
  c *= 1.0f / float(idx.size());
  std::vector<cv::Point> out;
  for (int i : idx) {
    cv::Point2f q = c + (p[size_t(i)] - c) * grow;
    out.emplace_back(int(std::lround(q.x)), int(std::lround(q.y)));
  }
  return out;
}

const std::vector<int> kLipsOuter = {61, 146, 91, 181, 84, 17, 314, 405, 321, 375, 291, 409, 270, 269, 267, 0, 37, 39, 40, 185};
const std::vector<int> kLeftBrow = {46, 53, 52, 65, 55, 107, 66, 105, 63, 70};
const std::vector<int> kRightBrow = {276, 283, 282, 295, 285, 336, 296, 334, 293, 300};
const std::vector<int> kNostrils = {98, 327};

// 8-bit mask into one channel of a BGR image.
cv::Mat intoChannel(const cv::Mat& mask, int channel) {
  std::vector<cv::Mat> planes(3, cv::Mat::zeros(mask.size(), CV_8U));
  planes[size_t(channel)] = mask;
  cv::Mat out;
  cv::merge(planes, out);
  return out;
}

float smoothstep(float e0, float e1, float x) {
  float t = std::clamp((x - e0) / (e1 - e0), 0.0f, 1.0f);
  return t * t * (3 - 2 * t);
}

cv::Vec3f look(const std::string& name, cv::Vec3f c) {
  float y = 0.299f * c[0] + 0.587f * c[1] + 0.114f * c[2];
  cv::Vec3f o;
  if (name == "lookup") {  // eye white: desaturate, then lift
    for (int i = 0; i < 3; ++i) {
      float d = y + (c[i] - y) * 0.4f;
      o[i] = d + 0.12f * (1 - d);
    }
  } else if (name == "warm") {
    o = {c[0] * 1.06f + 0.02f, c[1] * 1.01f, c[2] * 0.92f};
  } else if (name == "soft") {
    for (int i = 0; i < 3; ++i) o[i] = 0.5f + (c[i] - 0.5f) * 0.85f + 0.03f;
  } else if (name == "studio") {
    for (int i = 0; i < 3; ++i) o[i] = c[i] + 0.35f * (smoothstep(0, 1, c[i]) - c[i]);
  } else if (name == "window") {
    o = {c[0] * 0.96f + 0.03f, c[1] + 0.03f, c[2] * 1.06f + 0.03f};
  } else if (name == "presenting") {
    for (int i = 0; i < 3; ++i) {
      float s = y + (c[i] - y) * 1.15f;
      o[i] = s + 0.03f * (1 - s);
    }
  } else {
    throw std::invalid_argument("unknown look " + name);
  }
  for (int i = 0; i < 3; ++i) o[i] = std::clamp(o[i], 0.0f, 1.0f);
  return o;
}

uint32_t crc32(const std::string& data) {
  uint32_t crc = 0xffffffffu;
  for (unsigned char ch : data) {
    crc ^= ch;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void put16(std::string& s, uint32_t v) {
  s.push_back(char(v & 0xff));
  s.push_back(char((v >> 8) & 0xff));
}
void put32(std::string& s, uint32_t v) {
  put16(s, v & 0xffff);
  put16(s, v >> 16);
}

void writeFile(const std::filesystem::path& file, const std::string& bytes) { writeFileAtomically(file, bytes); }

void writePng(const std::filesystem::path& file, const cv::Mat& image) {
  std::vector<uint8_t> png;
  if (!cv::imencode(".png", image, png)) throw std::runtime_error("Could not encode " + file.string());
  writeFile(file, std::string(png.begin(), png.end()));
}

// One session over model bytes, for measuring on real frames.
struct Net {
  Ort::Session session;
  Net(Ort::Env& env, const std::string& bytes)
      : session(env, bytes.data(), bytes.size(), [] {
          Ort::SessionOptions o;
          o.SetIntraOpNumThreads(1);
          return o;
        }()) {}
  std::vector<std::vector<float>> run(const char* input, std::vector<float>& data, std::vector<int64_t> shape,
                                      std::vector<const char*> outputs) {
    auto memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
    Ort::Value x = Ort::Value::CreateTensor<float>(memory, data.data(), data.size(), shape.data(), shape.size());
    auto outs = session.Run(Ort::RunOptions{nullptr}, &input, &x, 1, outputs.data(), outputs.size());
    std::vector<std::vector<float>> result;
    for (auto& o : outs) {
      const float* p = o.GetTensorData<float>();
      result.emplace_back(p, p + o.GetTensorTypeAndShapeInfo().GetElementCount());
    }
    return result;
  }
};

std::vector<float> rgbTensor(const cv::Mat& bgr, int size, float lo, float hi) {
  cv::Mat small, rgb;
  cv::resize(bgr, small, {size, size}, 0, 0, cv::INTER_AREA);
  cv::cvtColor(small, rgb, cv::COLOR_BGR2RGB);
  std::vector<float> t(size_t(size) * size_t(size) * 3);
  for (size_t i = 0; i < t.size(); ++i) t[i] = lo + (hi - lo) * rgb.data[i] / 255.0f;
  return t;
}

// Nose tip in the eye-aligned frame, over frames of the clip: mean and spread.
std::array<double, 4> measureNose(const std::string& detector, const std::string& mesh,
                                  const std::filesystem::path& video) {
  static Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "tesmira-build-data");
  Net det(env, detector), lm(env, mesh);
  cv::VideoCapture clip(video.string());
  if (!clip.isOpened()) throw std::runtime_error("Could not open " + video.string());
  std::vector<std::pair<float, float>> anchors;
  for (auto [cells, per] : {std::pair{16, 2}, std::pair{8, 6}})
    for (int y = 0; y < cells; ++y)
      for (int x = 0; x < cells; ++x)
        for (int k = 0; k < per; ++k) anchors.push_back({(x + 0.5f) / float(cells), (y + 0.5f) / float(cells)});
  std::vector<double> xs, ys;
  cv::Mat frame;
  for (int index = 0; clip.read(frame); ++index) {
    if (index % 9 != 0) continue;
    // Square letterbox so the detector sees the face undistorted.
    int side = std::max(frame.cols, frame.rows);
    cv::Mat square(side, side, CV_8UC3, cv::Scalar(0, 0, 0));
    frame.copyTo(square(cv::Rect(0, 0, frame.cols, frame.rows)));
    std::vector<float> in = rgbTensor(square, 128, -1, 1);
    auto out = det.run("input", in, {1, 128, 128, 3}, {"regressors", "classificators"});
    size_t best = 0;
    for (size_t i = 1; i < anchors.size(); ++i)
      if (out[1][i] > out[1][best]) best = i;
    if (out[1][best] < 0) continue;  // score below 0.5
    const float* r = &out[0][best * 16];
    float cx = (r[0] / 128 + anchors[best].first) * float(side), cy = (r[1] / 128 + anchors[best].second) * float(side);
    float w = r[2] / 128 * float(side);
    // A square around the face, 1.6 times the box, for the mesh.
    float s = 1.6f * w, x0 = cx - s / 2, y0 = cy - s / 2;
    cv::Matx23d toCrop(256.0 / s, 0, -x0 * 256.0 / s, 0, 256.0 / s, -y0 * 256.0 / s);
    cv::Mat crop;
    cv::warpAffine(frame, crop, toCrop, {256, 256}, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
    std::vector<float> meshIn = rgbTensor(crop, 256, 0, 1);
    auto pts = lm.run("input_12", meshIn, {1, 256, 256, 3}, {"Identity", "Identity_1"});
    if (pts[1][0] < 0) continue;  // the mesh sees no face
    auto at = [&](int i) { return cv::Point2d(pts[0][size_t(i) * 3] * s / 256 + x0, pts[0][size_t(i) * 3 + 1] * s / 256 + y0); };
    auto mean = [&](const std::vector<int>& idx) {
      cv::Point2d c(0, 0);
      for (int i : idx) c += at(i);
      return c * (1.0 / double(idx.size()));
    };
    cv::Point2d L = mean(kLeftEyeContour), R = mean(kRightEyeContour);
    cv::Point2d d = R - L;
    double dist = std::max(std::hypot(d.x, d.y), 1e-6);
    cv::Point2d u = d * (1.0 / dist), m = (L + R) * 0.5, rel = at(1) - m;
    xs.push_back((rel.x * u.x + rel.y * u.y) / dist);
    ys.push_back((-rel.x * u.y + rel.y * u.x) / dist);
  }
  if (xs.size() < 5) throw std::runtime_error("Too few faces found in " + video.string() + " to measure the nose");
  auto stats = [](const std::vector<double>& v) {
    double mean = 0, var = 0;
    for (double x : v) mean += x;
    mean /= double(v.size());
    for (double x : v) var += (x - mean) * (x - mean);
    return std::pair{mean, std::max(std::sqrt(var / double(v.size())), 1e-6)};
  };
  auto [mx, sx] = stats(xs);
  auto [my, sy] = stats(ys);
  return {mx, sx, my, sy};
}

std::string number(double v) {
  std::ostringstream s;
  s << std::setprecision(17) << v;
  return s.str();
}

std::string calibrationJson(const std::array<double, 4>& nose) {
  auto list = [](const std::vector<int>& idx) {
    std::string s = "[";
    for (size_t i = 0; i < idx.size(); ++i) s += (i ? ", " : "") + std::to_string(idx[i]);
    return s + "]";
  };
  std::ostringstream j;
  j << "{\n"
    << "  \"anchor_left_indices\": " << list(kLeftEyeContour) << ",\n"
    << "  \"anchor_right_indices\": " << list(kRightEyeContour) << ",\n"
    << "  \"features\": [\"constant\", \"nose_x\", \"nose_y\"],\n"
    << "  \"feature_mean\": [0.0, " << number(nose[0]) << ", " << number(nose[2]) << "],\n"
    << "  \"feature_scale\": [1.0, " << number(nose[1]) << ", " << number(nose[3]) << "],\n"
    << "  \"constant_mask\": [true, false, false],\n"
    << "  \"coef\": [[-0.5, 0.0, 0.5, 0.0], [0.0, 0.0, 0.0, 0.0], [0.0, 0.0, 0.0, 0.0]],\n"
    << "  \"template_left_px\": [110.0, 216.0],\n"
    << "  \"template_right_px\": [210.0, 216.0]\n"
    << "}\n";
  return j.str();
}

}  // namespace

CanonicalFace readCanonicalFace(const std::string& bytes) {
  Reader top{bytes, 0, bytes.size()};
  CanonicalFace face;
  std::vector<float> floats;
  std::vector<int> indices;
  while (top.at < top.end) {
    uint64_t key = top.varint();
    int field = int(key >> 3), wire = int(key & 7);
    if (wire == 0) { top.varint(); continue; }
    if (wire == 5) { top.take(4); continue; }
    if (wire == 1) { top.take(8); continue; }
    if (wire != 2) throw std::runtime_error("Malformed face geometry: wire type");
    size_t n = size_t(top.varint());
    size_t start = top.take(n);
    if (field != 1) continue;  // canonical_mesh
    Reader mesh{bytes, start, start + n};
    while (mesh.at < mesh.end) {
      uint64_t k = mesh.varint();
      int f = int(k >> 3), w = int(k & 7);
      if (f == 3 && w == 5) {  // vertex_buffer, one float at a time
        float v;
        std::memcpy(&v, bytes.data() + mesh.take(4), 4);
        floats.push_back(v);
      } else if (f == 3 && w == 2) {  // packed
        size_t len = size_t(mesh.varint()), p = mesh.take(len);
        for (size_t i = 0; i + 4 <= len; i += 4) {
          float v;
          std::memcpy(&v, bytes.data() + p + i, 4);
          floats.push_back(v);
        }
      } else if (f == 4 && w == 0) {  // index_buffer
        indices.push_back(int(mesh.varint()));
      } else if (f == 4 && w == 2) {
        size_t len = size_t(mesh.varint());
        Reader packed{bytes, mesh.take(len), 0};
        packed.end = packed.at + len;
        while (packed.at < packed.end) indices.push_back(int(packed.varint()));
      } else if (w == 0) {
        mesh.varint();
      } else if (w == 2) {
        mesh.take(size_t(mesh.varint()));
      } else if (w == 5) {
        mesh.take(4);
      } else {
        mesh.take(8);
      }
    }
  }
  // Vertex position and texture coordinate: five floats each.
  if (floats.size() != 468 * 5 || indices.size() != 898 * 3)
    throw std::runtime_error("Unexpected canonical face: " + std::to_string(floats.size() / 5) + " vertices, " +
                             std::to_string(indices.size() / 3) + " triangles");
  for (size_t i = 0; i < 468; ++i) face.vertices.emplace_back(floats[5 * i], floats[5 * i + 1], floats[5 * i + 2]);
  for (size_t i = 0; i < indices.size(); i += 3) {
    for (size_t k = 0; k < 3; ++k)
      if (indices[i + k] < 0 || indices[i + k] >= 468) throw std::runtime_error("Canonical face index out of range");
    face.triangles.push_back({indices[i], indices[i + 1], indices[i + 2]});
  }
  return face;
}

std::vector<cv::Point2f> canonicalCropPoints(const CanonicalFace& face) {
  std::vector<cv::Point2f> flat;
  for (const auto& v : face.vertices) flat.emplace_back(v.x, -v.y);
  cv::Point2f l = eyeCentre(flat, kLeftEyeContour), r = eyeCentre(flat, kRightEyeContour);
  float scale = 100.0f / float(cv::norm(r - l));
  std::vector<cv::Point2f> out;
  for (const auto& p : flat) out.push_back((p - l) * scale + cv::Point2f(110, 216));
  return out;
}

cv::Mat buildFacemask(const CanonicalFace& face) {
  auto p = canonicalCropPoints(face);
  cv::Mat mask = cv::Mat::zeros(kCropH, kCropW, CV_8U);
  for (const auto& t : face.triangles) {
    std::vector<cv::Point> tri;
    for (int i : t) tri.emplace_back(int(std::lround(p[size_t(i)].x)), int(std::lround(p[size_t(i)].y)));
    cv::fillConvexPoly(mask, tri, cv::Scalar(255), cv::LINE_8);
  }
  // Keep the retouch off the eye openings, brows, lips and nostrils.
  std::vector<std::vector<cv::Point>> holes = {polygon(p, kLeftEyeContour, 1.3f), polygon(p, kRightEyeContour, 1.3f),
                                               polygon(p, kLeftBrow, 1.25f), polygon(p, kRightBrow, 1.25f),
                                               polygon(p, kLipsOuter, 1.1f)};
  cv::fillPoly(mask, holes, cv::Scalar(0));
  for (int i : kNostrils) cv::circle(mask, cv::Point(int(p[size_t(i)].x), int(p[size_t(i)].y)), 6, cv::Scalar(0), -1);
  cv::erode(mask, mask, cv::getStructuringElement(cv::MORPH_ELLIPSE, {9, 9}));
  cv::GaussianBlur(mask, mask, {0, 0}, 5.0);
  return intoChannel(mask, 2);
}

const std::array<EyeTemplatePoint, 12> kEyeTemplate = {{
    {33, 0.146562f, 0.473173f}, {160, 0.21314f, 0.433084f}, {158, 0.328543f, 0.427218f},
    {133, 0.440987f, 0.473173f}, {153, 0.322625f, 0.502506f}, {144, 0.216099f, 0.504462f},
    {362, 0.57586f, 0.473173f}, {385, 0.674091f, 0.429906f}, {387, 0.785342f, 0.432958f},
    {263, 0.862164f, 0.473173f}, {373, 0.781145f, 0.503913f}, {380, 0.67483f, 0.501338f},
}};
const std::array<std::array<int, 3>, 8> kEyeTriangles = {{
    {7, 6, 11}, {8, 7, 11}, {10, 8, 11}, {10, 9, 8}, {1, 0, 5}, {2, 1, 5}, {4, 2, 5}, {4, 3, 2},
}};

cv::Point2f shiftEyePoint(int index, cv::Point2f p) {
  // Single precision, as the eye effects compute it.
  static const float kFirst[6] = {0.973334789276123f,  -0.13881608843803406f, 36.52461242675781f,
                                  0.03475101292133331f, 0.965133786201477f,    2.100389242172241f};
  static const float kSecond[6] = {0.9651370048522949f,   0.13920557498931885f, -28.503923416137695f,
                                   -0.03318953141570091f, 0.9081674218177795f,  26.930809020996094f};
  const float* m = index < 6 ? kFirst : kSecond;
  return {m[0] * p.x + m[1] * p.y + m[2], m[3] * p.x + m[4] * p.y + m[5]};
}

cv::Mat buildSkinMask(const CanonicalFace& face) {
  auto p = canonicalCropPoints(face);
  // The soft openings where the eyes are in the crop...
  cv::Mat opening = cv::Mat::zeros(kCropH, kCropW, CV_32F);
  cv::fillPoly(opening, std::vector<std::vector<cv::Point>>{polygon(p, kLeftEyeContour), polygon(p, kRightEyeContour)},
               cv::Scalar(1));
  cv::GaussianBlur(opening, opening, {0, 0}, 2.5);
  // ...pulled back through each eye triangle's warp, so that the eye effects, warping this
  // mask onto their shifted eye points, put them back where the eyes are.
  cv::Mat mask = cv::Mat::zeros(kCropH, kCropW, CV_32F);
  for (const auto& tri : kEyeTriangles) {
    cv::Point2f from[3], to[3];
    std::vector<cv::Point> cover;
    for (int k = 0; k < 3; ++k) {
      const EyeTemplatePoint& t = kEyeTemplate[size_t(tri[size_t(k)])];
      from[k] = {float(kCropW - 1) * t.u, float(kCropH - 1) * t.v};
      to[k] = shiftEyePoint(tri[size_t(k)], p[size_t(t.landmark)]);
      cover.emplace_back(int(std::lround(from[k].x)), int(std::lround(from[k].y)));
    }
    cv::Mat pulled, inside = cv::Mat::zeros(kCropH, kCropW, CV_8U);
    cv::warpAffine(opening, pulled, cv::getAffineTransform(from, to), opening.size(),
                   cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_CONSTANT, cv::Scalar(0));
    // A margin around the triangle: the effects round their triangle's corners to pixels.
    cv::fillConvexPoly(inside, cover, cv::Scalar(255), cv::LINE_8);
    cv::dilate(inside, inside, cv::getStructuringElement(cv::MORPH_ELLIPSE, {7, 7}));
    pulled.setTo(0, inside == 0);
    mask = cv::max(mask, pulled);
  }
  cv::Mat bytes;
  mask.convertTo(bytes, CV_8U, 255.0);
  return intoChannel(bytes, 0);
}

cv::Mat buildTeethMask() {
  cv::Mat mask = cv::Mat::zeros(128, 128, CV_8U);
  cv::ellipse(mask, cv::Point(64, 64), cv::Size(40, 22), 0, 0, 360, cv::Scalar(255), -1);
  cv::GaussianBlur(mask, mask, {0, 0}, 5.0);
  return intoChannel(mask, 2);
}

SkinZones buildSkinZones(const CanonicalFace& face) {
  auto p = canonicalCropPoints(face);
  cv::Mat bags = cv::Mat::zeros(kCropH, kCropW, CV_32F), wrinkle = cv::Mat::zeros(kCropH, kCropW, CV_32F);
  for (const auto* eye : {&kLeftEyeContour, &kRightEyeContour}) {
    cv::Point2f c = eyeCentre(p, *eye);
    float width = float(cv::norm(p[size_t((*eye)[8])] - p[size_t((*eye)[0])]));
    // Under the eye: the bags. Around it (crow's feet and under-eye lines): the wrinkles.
    cv::ellipse(bags, cv::Point(int(c.x), int(c.y + 0.45f * width)), cv::Size(int(0.6f * width), int(0.28f * width)), 0,
                0, 360, cv::Scalar(1), -1);
    cv::ellipse(wrinkle, cv::Point(int(c.x), int(c.y + 0.2f * width)), cv::Size(int(0.95f * width), int(0.6f * width)),
                0, 0, 360, cv::Scalar(1), -1);
  }
  // Forehead lines and the folds beside the nose.
  cv::Point2f brow = (p[10] + p[9]) * 0.5f;
  cv::ellipse(wrinkle, cv::Point(int(brow.x), int(brow.y)), cv::Size(70, 26), 0, 0, 360, cv::Scalar(1), -1);
  for (int i : {206, 426}) cv::circle(wrinkle, cv::Point(int(p[size_t(i)].x), int(p[size_t(i)].y)), 16, cv::Scalar(1), -1);
  auto toField = [](const cv::Mat& m) {
    cv::Mat blurred, cells;
    cv::GaussianBlur(m, blurred, {0, 0}, 6.0);
    cv::resize(blurred, cells, {40, 64}, 0, 0, cv::INTER_AREA);
    std::vector<float> f(40 * 64);
    for (int x = 0; x < 40; ++x)
      for (int y = 0; y < 64; ++y) f[size_t(x) * 64 + size_t(y)] = std::clamp(cells.at<float>(y, x), 0.0f, 1.0f);
    return f;
  };
  return {toField(wrinkle), toField(bags)};
}

cv::Mat buildLookupTable(const std::string& name) {
  bool atlas = name != "lookup";
  cv::Mat table(16, 256, atlas ? CV_8UC4 : CV_8UC3);
  for (int b = 0; b < 16; ++b)
    for (int r = 0; r < 16; ++r)
      for (int g = 0; g < 16; ++g) {
        cv::Vec3f o = look(name, cv::Vec3f(float(r), float(g), float(b)) / 15.0f);
        uint8_t bgr[3] = {uint8_t(std::lround(o[2] * 255)), uint8_t(std::lround(o[1] * 255)), uint8_t(std::lround(o[0] * 255))};
        int x = b * 16 + r;
        if (atlas) table.at<cv::Vec4b>(g, x) = cv::Vec4b(bgr[0], bgr[1], bgr[2], 255);
        else table.at<cv::Vec3b>(g, x) = cv::Vec3b(bgr[0], bgr[1], bgr[2]);
      }
  return table;
}

std::string zipStored(const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string out, central;
  for (const auto& [name, data] : entries) {
    uint32_t offset = uint32_t(out.size()), crc = crc32(data), size = uint32_t(data.size());
    // Local header: version 10, no flags, stored, fixed DOS time 1980-01-01 for equal bytes on every build.
    put32(out, 0x04034b50);
    put16(out, 10); put16(out, 0); put16(out, 0); put16(out, 0); put16(out, 0x21);
    put32(out, crc); put32(out, size); put32(out, size);
    put16(out, uint32_t(name.size())); put16(out, 0);
    out += name;
    out += data;
    put32(central, 0x02014b50);
    put16(central, 10); put16(central, 10); put16(central, 0); put16(central, 0); put16(central, 0); put16(central, 0x21);
    put32(central, crc); put32(central, size); put32(central, size);
    put16(central, uint32_t(name.size())); put16(central, 0); put16(central, 0); put16(central, 0); put16(central, 0);
    put32(central, 0); put32(central, offset);
    central += name;
  }
  uint32_t centralOffset = uint32_t(out.size());
  out += central;
  put32(out, 0x06054b50);
  put16(out, 0); put16(out, 0);
  put16(out, uint32_t(entries.size())); put16(out, uint32_t(entries.size()));
  put32(out, uint32_t(central.size())); put32(out, centralOffset);
  put16(out, 0);
  return out;
}

void buildDataFolder(const DataInputs& in, const std::filesystem::path& out) {
  TfModel detector = readTfliteFile((in.models / "face_detection_short_range.tflite").string());
  TfModel mesh = readTfliteFile((in.models / "face_landmark.tflite").string());
  CanonicalFace face = readCanonicalFace(readAll(in.models / "geometry_pipeline_metadata_landmarks.binarypb"));

  const std::filesystem::path models = out / "models";
  std::string detectorBytes = serializeModel(convertTfliteModel(detector));
  std::string meshBytes = serializeModel(meshAdapterGraph(mesh));
  writeFile(models / "mp_landmarker" / "onnx" / "face_detector.onnx", detectorBytes);
  writeFile(models / "mp_landmarker" / "onnx" / "face_landmarks_detector.onnx", meshBytes);
  writeFile(models / "face_landmarker.task",
            zipStored({{"face_detector.onnx", detectorBytes}, {"face_landmarks_detector.onnx", meshBytes}}));
  writeModel(models / "retouch.onnx", skinGraph(buildSkinZones(face)));
  writeModel(models / "teeth_whitening.onnx", teethGraph());
  writeFile(models / "calibration" / "mediapipe_crop_calibration.json",
            calibrationJson(measureNose(detectorBytes, meshBytes, in.media / "Megamind.avi")));

  const std::filesystem::path resources = out / "app" / "base" / "Sources" / "Prismwell" / "Resources";
  writePng(resources / "facemask.png", buildFacemask(face));
  writePng(resources / "skin_mask.png", buildSkinMask(face));
  writePng(resources / "teeth_whitening_mask.png", buildTeethMask());
  writePng(resources / "lookup.png", buildLookupTable("lookup"));
  for (int32_t tone = 1; tone <= kToneCount; ++tone)
    writePng(resources / kToneAtlasNames[tone - 1], buildLookupTable(kToneNames[tone]));
}

}  // namespace tesmira::models
