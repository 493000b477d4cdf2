#include "tools/models/tflite_writer.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

namespace tesmira::models {
namespace {

// FlatBuffers written front to back: a parent first with placeholders for its offsets, each
// child after it, then the placeholder patched (offsets only ever point forward).
class Builder {
 public:
  struct Field {
    int id;
    int size;  // 1 or 4 bytes; offsets are 4
    uint32_t value = 0;
  };

  std::string bytes;

  void align(size_t a) {
    while (bytes.size() % a) bytes.push_back('\0');
  }

  template <typename T>
  size_t put(T v) {
    align(sizeof(T));
    size_t at = bytes.size();
    bytes.append(reinterpret_cast<const char*>(&v), sizeof(T));
    return at;
  }

  void patch(size_t at, size_t target) {
    if (target <= at) throw std::logic_error("FlatBuffers offset must point forward");
    uint32_t off = uint32_t(target - at);
    std::memcpy(bytes.data() + at, &off, 4);
  }

  struct Table {
    size_t start;
    std::map<int, size_t> at;  // each field's position, for patching offsets
    size_t operator[](int id) const { return at.at(id); }
  };

  Table table(std::vector<Field> fields) {
    std::stable_sort(fields.begin(), fields.end(), [](const Field& a, const Field& b) { return a.size > b.size; });
    int maxId = -1;
    for (const Field& f : fields) maxId = std::max(maxId, f.id);
    size_t vtableSize = 4 + 2 * size_t(maxId + 1);
    align(4);
    size_t vtable = bytes.size();
    size_t start = vtable + ((vtableSize + 3) & ~size_t(3));
    std::vector<uint16_t> slots(size_t(maxId + 1), 0);
    size_t inline_ = 4;
    for (const Field& f : fields) {
      slots[size_t(f.id)] = uint16_t(inline_);
      inline_ += size_t(f.size);
    }
    put<uint16_t>(uint16_t(vtableSize));
    put<uint16_t>(uint16_t(inline_));
    for (uint16_t s : slots) put<uint16_t>(s);
    align(4);
    put<int32_t>(int32_t(start - vtable));
    Table t{start, {}};
    for (const Field& f : fields) t.at[f.id] = f.size == 4 ? put<uint32_t>(f.value) : put<uint8_t>(uint8_t(f.value));
    return t;
  }

  // A vector of plain elements whose first element sits on `elementAlign`; returns its length's position.
  size_t vector(const void* data, size_t count, size_t elementSize, size_t elementAlign = 4) {
    align(4);
    while ((bytes.size() + 4) % elementAlign) bytes.push_back('\0');
    size_t at = put<uint32_t>(uint32_t(count));
    bytes.append(static_cast<const char*>(data), count * elementSize);
    return at;
  }
  size_t ints(const std::vector<int32_t>& v) { return vector(v.data(), v.size(), 4); }
  size_t string(const std::string& s) {
    size_t at = vector(s.data(), s.size(), 1);
    bytes.push_back('\0');
    return at;
  }
  // A vector of `count` table offsets: returns the position of element 0.
  size_t offsets(size_t count) {
    put<uint32_t>(uint32_t(count));
    size_t first = bytes.size();
    bytes.append(count * 4, '\0');
    return first;
  }
};

using Field = Builder::Field;

// Options union types of the schema.
constexpr uint32_t kConv2dOptions = 1, kDepthwiseOptions = 2, kPool2dOptions = 5, kConcatenationOptions = 10,
                   kAddOptions = 11, kReshapeOptions = 17, kPadOptions = 22;

uint32_t padding(const TfOptions& o) { return o.samePadding ? 0 : 1; }

// The options union type the reader understands for this operator; 0 when it has none.
uint32_t optionsType(int32_t builtin) {
  switch (builtin) {
    case kTfConv2d: return kConv2dOptions;
    case kTfDepthwiseConv2d: return kDepthwiseOptions;
    case kTfMaxPool2d: return kPool2dOptions;
    case kTfConcatenation: return kConcatenationOptions;
    case kTfAdd: return kAddOptions;
    case kTfReshape: return kReshapeOptions;
    case kTfPad: return kPadOptions;
    default: return 0;
  }
}

// Writes the operator's options table; returns where it starts.
size_t writeOptions(Builder& w, const TfModel& m, const TfOperator& op) {
  const TfOptions& o = op.options;
  std::vector<Field> f;
  switch (op.builtin) {
    case kTfConv2d:
      f = {{0, 1, padding(o)}, {1, 4, uint32_t(o.strideW)}, {2, 4, uint32_t(o.strideH)},
           {3, 1, uint32_t(o.activation)}, {4, 4, uint32_t(o.dilationW)}, {5, 4, uint32_t(o.dilationH)}};
      break;
    case kTfDepthwiseConv2d:
      f = {{0, 1, padding(o)}, {1, 4, uint32_t(o.strideW)}, {2, 4, uint32_t(o.strideH)},
           {3, 4, uint32_t(o.depthMultiplier)}, {4, 1, uint32_t(o.activation)}, {5, 4, uint32_t(o.dilationW)},
           {6, 4, uint32_t(o.dilationH)}};
      break;
    case kTfMaxPool2d:
      f = {{0, 1, padding(o)}, {1, 4, uint32_t(o.strideW)}, {2, 4, uint32_t(o.strideH)},
           {3, 4, uint32_t(o.filterW)}, {4, 4, uint32_t(o.filterH)}, {5, 1, uint32_t(o.activation)}};
      break;
    case kTfConcatenation: f = {{0, 4, uint32_t(o.axis)}, {1, 1, uint32_t(o.activation)}}; break;
    case kTfAdd: f = {{0, 1, uint32_t(o.activation)}}; break;
    case kTfReshape: {
      // Readers that ignore the shape input take the target shape from here.
      auto options = w.table({{0, 4}});
      w.patch(options[0], w.ints(m.tensors[size_t(op.outputs[0])].shape));
      return options.start;
    }
    default: break;
  }
  return w.table(f).start;
}

}  // namespace

std::string writeTflite(const TfModel& m) {
  Builder w;
  size_t root = w.put<uint32_t>(0);
  w.bytes += "TFL3";

  std::vector<std::pair<int32_t, std::string>> codes;
  std::vector<uint32_t> opcodeIndex;
  for (const TfOperator& op : m.operators) {
    std::pair<int32_t, std::string> code{op.builtin, op.customCode};
    auto it = std::find(codes.begin(), codes.end(), code);
    opcodeIndex.push_back(uint32_t(it - codes.begin()));
    if (it == codes.end()) codes.push_back(code);
  }

  auto model = w.table({{0, 4, 3}, {1, 4}, {2, 4}, {4, 4}});
  w.patch(root, model.start);

  size_t first = w.offsets(codes.size());
  w.patch(model[1], first - 4);
  for (size_t i = 0; i < codes.size(); ++i) {
    // Field 0 is the byte-wide code older readers use; 127 means "see field 3".
    std::vector<Field> f = {{0, 1, uint32_t(std::min(codes[i].first, 127))}, {2, 4, 1}, {3, 4, uint32_t(codes[i].first)}};
    if (!codes[i].second.empty()) f.push_back({1, 4});
    auto code = w.table(f);
    w.patch(first + 4 * i, code.start);
    if (!codes[i].second.empty()) w.patch(code[1], w.string(codes[i].second));
  }

  first = w.offsets(1);
  w.patch(model[2], first - 4);
  auto graph = w.table({{0, 4}, {1, 4}, {2, 4}, {3, 4}});
  w.patch(first, graph.start);

  size_t tensors = w.offsets(m.tensors.size());
  w.patch(graph[0], tensors - 4);
  std::vector<const TfTensor*> constants;
  for (size_t i = 0; i < m.tensors.size(); ++i) {
    const TfTensor& t = m.tensors[i];
    uint32_t buffer = 0;
    if (t.data) {
      constants.push_back(&t);
      buffer = uint32_t(constants.size());
    }
    auto tensor = w.table({{0, 4}, {1, 1, uint32_t(t.type)}, {2, 4, buffer}, {3, 4}});
    w.patch(tensors + 4 * i, tensor.start);
    w.patch(tensor[0], w.ints(t.shape));
    w.patch(tensor[3], w.string(t.name));
  }
  w.patch(graph[1], w.ints(m.inputs));
  w.patch(graph[2], w.ints(m.outputs));

  size_t ops = w.offsets(m.operators.size());
  w.patch(graph[3], ops - 4);
  for (size_t i = 0; i < m.operators.size(); ++i) {
    const TfOperator& op = m.operators[i];
    uint32_t type = optionsType(op.builtin);
    std::vector<Field> fields = {{0, 4, opcodeIndex[i]}, {1, 4}, {2, 4}};
    if (type) fields.insert(fields.end(), {{3, 1, type}, {4, 4}});
    auto o = w.table(fields);
    w.patch(ops + 4 * i, o.start);
    w.patch(o[1], w.ints(op.inputs));
    w.patch(o[2], w.ints(op.outputs));
    if (type) w.patch(o[4], writeOptions(w, m, op));
  }

  size_t buffers = w.offsets(constants.size() + 1);
  w.patch(model[4], buffers - 4);
  w.patch(buffers, w.table({}).start);  // buffer 0: empty, as the schema reserves it
  for (size_t i = 0; i < constants.size(); ++i) {
    auto buffer = w.table({{0, 4}});
    w.patch(buffers + 4 * (i + 1), buffer.start);
    const std::string& data = *constants[i]->data;
    w.patch(buffer[0], w.vector(data.data(), data.size(), 1, 16));
  }
  return w.bytes;
}

TfModel widenWeights(const TfModel& model) {
  TfModel out = model;
  out.operators.clear();
  for (const TfOperator& op : model.operators) {
    const TfTensor* in = op.inputs.empty() || op.inputs[0] < 0 ? nullptr : &model.tensors[size_t(op.inputs[0])];
    if (op.builtin == kTfDequantize && in && in->data && in->type == kTfFloat16) {
      std::vector<float> values = tfConstantFloats(*in);
      TfTensor& widened = out.tensors[size_t(op.outputs[0])];
      widened.type = kTfFloat32;
      widened.data = std::string(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float));
      continue;
    }
    out.operators.push_back(op);
  }
  return out;
}

}  // namespace tesmira::models
