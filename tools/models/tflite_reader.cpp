#include "tools/models/tflite_reader.h"

#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tesmira::models {
namespace {

[[noreturn]] void bad(const std::string& what) { throw std::runtime_error("Malformed TFLite model: " + what); }

// A FlatBuffers table: field i's value sits at the offset its vtable names (0: absent).
class Table {
 public:
  Table(const std::string& bytes, size_t pos) : b_(bytes), pos_(pos) {
    int32_t back = read<int32_t>(pos);
    int64_t vt = int64_t(pos) - back;
    if (vt < 0 || size_t(vt) + 4 > b_.size()) bad("vtable outside the file");
    vtable_ = size_t(vt);
    vtableSize_ = read<uint16_t>(vtable_);
    if (vtableSize_ < 4 || vtable_ + vtableSize_ > b_.size()) bad("vtable size");
  }

  template <typename T>
  T read(size_t at) const {
    if (at > b_.size() || b_.size() - at < sizeof(T)) bad("read past the end");
    T v;
    std::memcpy(&v, b_.data() + at, sizeof(T));
    return v;
  }

  // Absolute position of field `id`, or 0 when absent.
  size_t field(int id) const {
    size_t entry = 4 + 2 * size_t(id);
    if (entry + 2 > vtableSize_) return 0;
    uint16_t off = read<uint16_t>(vtable_ + entry);
    return off ? pos_ + off : 0;
  }

  template <typename T>
  T scalar(int id, T fallback) const {
    size_t at = field(id);
    return at ? read<T>(at) : fallback;
  }

  // Follows a uoffset field to its target; 0 when absent.
  size_t target(int id) const {
    size_t at = field(id);
    if (!at) return 0;
    uint64_t to = uint64_t(at) + read<uint32_t>(at);
    if (to >= b_.size()) bad("offset outside the file");
    return size_t(to);
  }

  Table table(int id) const {
    size_t at = target(id);
    if (!at) bad("missing table");
    return Table(b_, at);
  }
  bool has(int id) const { return field(id) != 0; }

  // A vector field: its element count and the position of element 0.
  std::pair<size_t, size_t> vector(int id, size_t elementSize) const {
    size_t at = target(id);
    if (!at) return {0, 0};
    uint32_t n = read<uint32_t>(at);
    if (uint64_t(n) * elementSize > b_.size() - at - 4) bad("vector past the end");
    return {n, at + 4};
  }

  template <typename T>
  std::vector<T> scalars(int id) const {
    auto [n, first] = vector(id, sizeof(T));
    std::vector<T> out(n);
    if (n) std::memcpy(out.data(), b_.data() + first, n * sizeof(T));
    return out;
  }

  std::vector<Table> tables(int id) const {
    auto [n, first] = vector(id, 4);
    std::vector<Table> out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      size_t at = first + 4 * i;
      uint64_t to = uint64_t(at) + read<uint32_t>(at);
      if (to >= b_.size()) bad("offset outside the file");
      out.emplace_back(b_, size_t(to));
    }
    return out;
  }

  std::string string(int id) const {
    auto [n, first] = vector(id, 1);
    return n ? b_.substr(first, n) : std::string();
  }

 private:
  const std::string& b_;
  size_t pos_;
  size_t vtable_ = 0;
  uint16_t vtableSize_ = 0;
};

TfOptions readOptions(int32_t builtin, const Table& op) {
  TfOptions o;
  if (!op.has(4)) return o;
  Table t = op.table(4);
  auto padding = [&](int id) { o.samePadding = t.scalar<int8_t>(id, 0) == 0; };
  switch (builtin) {
    case kTfConv2d:
      padding(0);
      o.strideW = t.scalar<int32_t>(1, 1);
      o.strideH = t.scalar<int32_t>(2, 1);
      o.activation = t.scalar<int8_t>(3, 0);
      o.dilationW = t.scalar<int32_t>(4, 1);
      o.dilationH = t.scalar<int32_t>(5, 1);
      break;
    case kTfDepthwiseConv2d:
      padding(0);
      o.strideW = t.scalar<int32_t>(1, 1);
      o.strideH = t.scalar<int32_t>(2, 1);
      o.depthMultiplier = t.scalar<int32_t>(3, 1);
      o.activation = t.scalar<int8_t>(4, 0);
      o.dilationW = t.scalar<int32_t>(5, 1);
      o.dilationH = t.scalar<int32_t>(6, 1);
      break;
    case kTfMaxPool2d:
      padding(0);
      o.strideW = t.scalar<int32_t>(1, 1);
      o.strideH = t.scalar<int32_t>(2, 1);
      o.filterW = t.scalar<int32_t>(3, 1);
      o.filterH = t.scalar<int32_t>(4, 1);
      o.activation = t.scalar<int8_t>(5, 0);
      break;
    case kTfAdd: o.activation = t.scalar<int8_t>(0, 0); break;
    case kTfConcatenation:
      o.axis = t.scalar<int32_t>(0, 0);
      o.activation = t.scalar<int8_t>(1, 0);
      break;
    default: break;
  }
  return o;
}

float halfToFloat(uint16_t h) {
  int sign = h >> 15, exp = (h >> 10) & 0x1f, man = h & 0x3ff;
  float v;
  if (exp == 0) v = std::ldexp(float(man), -24);
  else if (exp == 31) v = man ? NAN : INFINITY;
  else v = std::ldexp(float(man | 0x400), exp - 25);
  return sign ? -v : v;
}

}  // namespace

TfModel readTflite(const std::string& bytes) {
  if (bytes.size() < 8 || bytes.compare(4, 4, "TFL3") != 0) bad("no TFL3 identifier");
  uint32_t root;
  std::memcpy(&root, bytes.data(), 4);
  if (root >= bytes.size()) bad("root outside the file");
  Table model(bytes, root);

  std::vector<std::pair<int32_t, std::string>> codes;
  for (const Table& code : model.tables(1)) {
    int32_t deprecated = code.scalar<int8_t>(0, 0);
    int32_t builtin = code.scalar<int32_t>(3, 0);
    codes.push_back({std::max(deprecated, builtin), code.string(1)});
  }
  std::vector<Table> buffers = model.tables(4);
  std::vector<Table> subgraphs = model.tables(2);
  if (subgraphs.empty()) bad("no subgraph");
  const Table& g = subgraphs.front();

  TfModel out;
  for (const Table& t : g.tables(0)) {
    TfTensor tensor;
    tensor.shape = t.scalars<int32_t>(0);
    tensor.type = t.scalar<int8_t>(1, 0);
    tensor.name = t.string(3);
    uint32_t buffer = t.scalar<uint32_t>(2, 0);
    if (buffer >= buffers.size() && buffer != 0) bad("tensor buffer index");
    if (buffer != 0) {
      auto [n, first] = buffers[buffer].vector(0, 1);
      if (n) tensor.data = bytes.substr(first, n);
    }
    out.tensors.push_back(std::move(tensor));
  }
  auto checkIndices = [&](const std::vector<int32_t>& list, bool optional) {
    for (int32_t i : list)
      if (i >= int32_t(out.tensors.size()) || i < (optional ? -1 : 0)) bad("tensor index");
    return list;
  };
  out.inputs = checkIndices(g.scalars<int32_t>(1), false);
  out.outputs = checkIndices(g.scalars<int32_t>(2), false);
  for (const Table& o : g.tables(3)) {
    TfOperator op;
    uint32_t index = o.scalar<uint32_t>(0, 0);
    if (index >= codes.size()) bad("operator code index");
    op.builtin = codes[index].first;
    op.customCode = codes[index].second;
    op.inputs = checkIndices(o.scalars<int32_t>(1), true);
    op.outputs = checkIndices(o.scalars<int32_t>(2), false);
    op.options = readOptions(op.builtin, o);
    out.operators.push_back(std::move(op));
  }
  return out;
}

TfModel readTfliteFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("Could not open " + path);
  std::stringstream s;
  s << in.rdbuf();
  return readTflite(s.str());
}

std::string tfOperatorName(const TfOperator& op) {
  static const char* const kNames[] = {
      "ADD", "AVERAGE_POOL_2D", "CONCATENATION", "CONV_2D", "DEPTHWISE_CONV_2D", "DEPTH_TO_SPACE", "DEQUANTIZE",
      "EMBEDDING_LOOKUP", "FLOOR", "FULLY_CONNECTED", "HASHTABLE_LOOKUP", "L2_NORMALIZATION", "L2_POOL_2D",
      "LOCAL_RESPONSE_NORMALIZATION", "LOGISTIC", "LSH_PROJECTION", "LSTM", "MAX_POOL_2D", "MUL", "RELU",
      "RELU_N1_TO_1", "RELU6", "RESHAPE", "RESIZE_BILINEAR", "RNN", "SOFTMAX", "SPACE_TO_DEPTH", "SVDF", "TANH",
      "CONCAT_EMBEDDINGS", "SKIP_GRAM", "CALL", "CUSTOM", "EMBEDDING_LOOKUP_SPARSE", "PAD", "UNIDIRECTIONAL_SEQUENCE_RNN",
      "GATHER", "BATCH_TO_SPACE_ND", "SPACE_TO_BATCH_ND", "TRANSPOSE", "MEAN", "SUB", "DIV", "SQUEEZE",
      "UNIDIRECTIONAL_SEQUENCE_LSTM", "STRIDED_SLICE", "BIDIRECTIONAL_SEQUENCE_RNN", "EXP", "TOPK_V2", "SPLIT",
      "LOG_SOFTMAX", "DELEGATE", "BIDIRECTIONAL_SEQUENCE_LSTM", "CAST", "PRELU"};
  if (op.builtin == 32) return "CUSTOM " + op.customCode;
  if (op.builtin >= 0 && size_t(op.builtin) < std::size(kNames)) return kNames[op.builtin];
  return "BUILTIN_" + std::to_string(op.builtin);
}

std::vector<float> tfConstantFloats(const TfTensor& tensor) {
  if (!tensor.data) throw std::runtime_error("Tensor " + tensor.name + " is not a constant");
  const std::string& d = *tensor.data;
  std::vector<float> out;
  if (tensor.type == kTfFloat32) {
    out.resize(d.size() / 4);
    std::memcpy(out.data(), d.data(), out.size() * 4);
  } else if (tensor.type == kTfFloat16) {
    out.resize(d.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) {
      uint16_t h;
      std::memcpy(&h, d.data() + 2 * i, 2);
      out[i] = halfToFloat(h);
    }
  } else {
    throw std::runtime_error("Tensor " + tensor.name + " is not a float constant");
  }
  return out;
}

std::vector<int32_t> tfConstantInts(const TfTensor& tensor) {
  if (!tensor.data || tensor.type != kTfInt32) throw std::runtime_error("Tensor " + tensor.name + " is not an int32 constant");
  std::vector<int32_t> out(tensor.data->size() / 4);
  std::memcpy(out.data(), tensor.data->data(), out.size() * 4);
  return out;
}

}  // namespace tesmira::models
