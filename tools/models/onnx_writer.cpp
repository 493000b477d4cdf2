#include "tools/models/onnx_writer.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace tesmira::models {
namespace {

// Protobuf wire format: varints, 32-bit floats and length-delimited fields.
class Proto {
 public:
  void varint(uint64_t value) {
    while (value >= 0x80) {
      bytes_.push_back(char((value & 0x7f) | 0x80));
      value >>= 7;
    }
    bytes_.push_back(char(value));
  }
  void key(int field, int wire) { varint(uint64_t(field) << 3 | uint64_t(wire)); }
  void intField(int field, int64_t value) {
    key(field, 0);
    varint(uint64_t(value));
  }
  void floatField(int field, float value) {
    key(field, 5);
    fixed32(value);
  }
  void bytesField(int field, const std::string& value) {
    key(field, 2);
    varint(value.size());
    bytes_ += value;
  }
  void message(int field, const Proto& inner) { bytesField(field, inner.bytes_); }
  void packedInts(int field, const std::vector<int64_t>& values) {
    Proto packed;
    for (int64_t v : values) packed.varint(uint64_t(v));
    bytesField(field, packed.bytes_);
  }
  void packedFloats(int field, const std::vector<float>& values) {
    Proto packed;
    for (float v : values) packed.fixed32(v);
    bytesField(field, packed.bytes_);
  }
  const std::string& bytes() const { return bytes_; }

 private:
  void fixed32(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    for (int i = 0; i < 4; ++i) bytes_.push_back(char(bits >> (8 * i)));
  }
  std::string bytes_;
};

Proto valueInfo(const ValueInfo& info) {
  Proto shape;
  for (int64_t d : info.dims) {
    Proto dim;
    dim.intField(1, d);  // dim_value
    shape.message(1, dim);
  }
  Proto tensor;
  tensor.intField(1, int64_t(info.type));  // elem_type
  if (!info.dims.empty()) tensor.message(2, shape);
  Proto type;
  type.message(1, tensor);  // tensor_type
  Proto value;
  value.bytesField(1, info.name);
  value.message(2, type);
  return value;
}

Proto tensorProto(const Initializer& init) {
  Proto t;
  if (!init.dims.empty()) t.packedInts(1, init.dims);
  t.intField(2, int64_t(init.type));
  t.bytesField(8, init.name);
  // raw_data: little-endian element bytes, as the runtime reads them.
  std::string raw;
  if (init.type == ElemType::Float) {
    raw.resize(init.floats.size() * 4);
    std::memcpy(raw.data(), init.floats.data(), raw.size());
  } else if (init.type == ElemType::Int64) {
    raw.resize(init.ints.size() * 8);
    std::memcpy(raw.data(), init.ints.data(), raw.size());
  } else {
    for (int64_t v : init.ints) {
      int32_t narrow = int32_t(v);
      raw.append(reinterpret_cast<const char*>(&narrow), 4);
    }
  }
  t.bytesField(9, raw);
  return t;
}

Proto attributeProto(const Attribute& a) {
  Proto p;
  p.bytesField(1, a.name);
  switch (a.kind) {
    case Attribute::Kind::Float: p.floatField(2, a.f); break;
    case Attribute::Kind::Int: p.intField(3, a.i); break;
    case Attribute::Kind::String: p.bytesField(4, a.s); break;
    case Attribute::Kind::Floats:
      for (float f : a.floats) p.floatField(7, f);
      break;
    case Attribute::Kind::Ints:
      for (int64_t i : a.ints) p.intField(8, i);
      break;
  }
  p.intField(20, int64_t(a.kind));
  return p;
}

int64_t elementCount(const std::vector<int64_t>& dims) {
  int64_t n = 1;
  for (int64_t d : dims) n *= d;
  return n;
}

}  // namespace

Attribute attrInt(std::string name, int64_t value) {
  Attribute a{std::move(name), Attribute::Kind::Int};
  a.i = value;
  return a;
}
Attribute attrFloat(std::string name, float value) {
  Attribute a{std::move(name), Attribute::Kind::Float};
  a.f = value;
  return a;
}
Attribute attrString(std::string name, std::string value) {
  Attribute a{std::move(name), Attribute::Kind::String};
  a.s = std::move(value);
  return a;
}
Attribute attrInts(std::string name, std::vector<int64_t> values) {
  Attribute a{std::move(name), Attribute::Kind::Ints};
  a.ints = std::move(values);
  return a;
}
Attribute attrFloats(std::string name, std::vector<float> values) {
  Attribute a{std::move(name), Attribute::Kind::Floats};
  a.floats = std::move(values);
  return a;
}

const std::string& Graph::input(const std::string& name, std::vector<int64_t> dims, ElemType type) {
  inputs_.push_back({name, type, std::move(dims)});
  return inputs_.back().name;
}

void Graph::output(const std::string& name, std::vector<int64_t> dims, ElemType type) {
  outputs_.push_back({name, type, std::move(dims)});
}

std::string Graph::constant(const std::string& name, std::vector<int64_t> dims, std::vector<float> values) {
  if (elementCount(dims) != int64_t(values.size())) throw std::invalid_argument("constant " + name + ": size mismatch");
  initializers_.push_back({name, ElemType::Float, std::move(dims), std::move(values), {}});
  return name;
}

std::string Graph::constantInt64(const std::string& name, std::vector<int64_t> dims, std::vector<int64_t> values) {
  if (elementCount(dims) != int64_t(values.size())) throw std::invalid_argument("constant " + name + ": size mismatch");
  initializers_.push_back({name, ElemType::Int64, std::move(dims), {}, std::move(values)});
  return name;
}

std::string Graph::scalar(float value) { return constant(freshName("k"), {}, {value}); }

std::string Graph::int64s(std::vector<int64_t> values) {
  int64_t n = int64_t(values.size());
  return constantInt64(freshName("shape"), {n}, std::move(values));
}

std::string Graph::freshName(const std::string& stem) { return stem + "_" + std::to_string(counter_++); }

std::string Graph::node(const std::string& opType, std::vector<std::string> inputs, std::vector<Attribute> attributes,
                        std::string outputName) {
  if (outputName.empty()) outputName = freshName(opType);
  nodes_.push_back({opType, std::move(inputs), {outputName}, std::move(attributes)});
  return outputName;
}

void Graph::nodeOutputs(const std::string& opType, std::vector<std::string> inputs, std::vector<std::string> outputs,
                        std::vector<Attribute> attributes) {
  nodes_.push_back({opType, std::move(inputs), std::move(outputs), std::move(attributes)});
}

std::string serializeModel(const Graph& graph, int64_t opset, const std::string& producer) {
  Proto g;
  int index = 0;
  for (const Node& n : graph.nodes()) {
    Proto p;
    for (const auto& in : n.inputs) p.bytesField(1, in);
    for (const auto& out : n.outputs) p.bytesField(2, out);
    p.bytesField(3, n.opType + "_" + std::to_string(index++));
    p.bytesField(4, n.opType);
    for (const auto& a : n.attributes) p.message(5, attributeProto(a));
    g.message(1, p);
  }
  g.bytesField(2, graph.name());
  for (const auto& init : graph.initializers()) g.message(5, tensorProto(init));
  for (const auto& in : graph.inputs()) g.message(11, valueInfo(in));
  for (const auto& out : graph.outputs()) g.message(12, valueInfo(out));

  Proto model;
  model.intField(1, 8);  // ir_version
  model.bytesField(2, producer);
  model.message(7, g);
  Proto opsetId;
  opsetId.bytesField(1, "");
  opsetId.intField(2, opset);
  model.message(8, opsetId);
  return model.bytes();
}

void writeFileAtomically(const std::filesystem::path& file, const std::string& bytes) {
  if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path());
  std::filesystem::path part = file;
  part += ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    if (!out) throw std::runtime_error("Could not write " + part.string());
  }
  std::filesystem::rename(part, file);
}

void writeModel(const std::filesystem::path& file, const Graph& graph, int64_t opset) {
  writeFileAtomically(file, serializeModel(graph, opset));
}

}  // namespace tesmira::models
