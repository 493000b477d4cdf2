#pragma once
// A small ONNX model writer: graphs built node by node and serialized as protobuf by hand,
// so the converter, the authored retouch graphs and the tests' stand-in models need no
// protobuf or ONNX package.
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tesmira::models {

// ONNX TensorProto data types used here.
enum class ElemType : int32_t { Float = 1, Int32 = 6, Int64 = 7, Bool = 9 };

struct Attribute {
  enum class Kind : int32_t { Float = 1, Int = 2, String = 3, Floats = 6, Ints = 7 };
  std::string name;
  Kind kind = Kind::Int;
  float f = 0;
  int64_t i = 0;
  std::string s;
  std::vector<float> floats;
  std::vector<int64_t> ints;
};

Attribute attrInt(std::string name, int64_t value);
Attribute attrFloat(std::string name, float value);
Attribute attrString(std::string name, std::string value);
Attribute attrInts(std::string name, std::vector<int64_t> values);
Attribute attrFloats(std::string name, std::vector<float> values);

struct ValueInfo {
  std::string name;
  ElemType type = ElemType::Float;
  std::vector<int64_t> dims;  // empty: shape left open
};

struct Initializer {
  std::string name;
  ElemType type = ElemType::Float;
  std::vector<int64_t> dims;
  std::vector<float> floats;   // Float
  std::vector<int64_t> ints;   // Int64 and Int32
};

struct Node {
  std::string opType;
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;
  std::vector<Attribute> attributes;
};

class Graph {
 public:
  explicit Graph(std::string name = "graph") : name_(std::move(name)) {}

  const std::string& input(const std::string& name, std::vector<int64_t> dims, ElemType type = ElemType::Float);
  void output(const std::string& name, std::vector<int64_t> dims, ElemType type = ElemType::Float);
  // Initializers; the returned name is what nodes take as input.
  std::string constant(const std::string& name, std::vector<int64_t> dims, std::vector<float> values);
  std::string constantInt64(const std::string& name, std::vector<int64_t> dims, std::vector<int64_t> values);
  std::string scalar(float value);  // a fresh 0-d float constant
  std::string int64s(std::vector<int64_t> values);  // a fresh 1-d int64 constant
  // Adds a node with one output; the output is named `outputName` or a fresh name.
  std::string node(const std::string& opType, std::vector<std::string> inputs, std::vector<Attribute> attributes = {},
                   std::string outputName = {});
  // Adds a node with several outputs, named as given.
  void nodeOutputs(const std::string& opType, std::vector<std::string> inputs, std::vector<std::string> outputs,
                   std::vector<Attribute> attributes = {});
  std::string freshName(const std::string& stem);

  const std::string& name() const { return name_; }
  const std::vector<ValueInfo>& inputs() const { return inputs_; }
  const std::vector<ValueInfo>& outputs() const { return outputs_; }
  const std::vector<Initializer>& initializers() const { return initializers_; }
  const std::vector<Node>& nodes() const { return nodes_; }

 private:
  std::string name_;
  std::vector<ValueInfo> inputs_;
  std::vector<ValueInfo> outputs_;
  std::vector<Initializer> initializers_;
  std::vector<Node> nodes_;
  int64_t counter_ = 0;
};

// The serialized ModelProto (IR version 8, default domain at `opset`).
std::string serializeModel(const Graph& graph, int64_t opset = 13, const std::string& producer = "tesmira-models");
// Writes the model atomically (a temporary file, then a rename); throws std::runtime_error.
void writeModel(const std::filesystem::path& file, const Graph& graph, int64_t opset = 13);
void writeFileAtomically(const std::filesystem::path& file, const std::string& bytes);

}  // namespace tesmira::models
