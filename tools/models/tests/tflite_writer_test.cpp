#include <gtest/gtest.h>

#include "tools/models/tests/model_test_support.h"
#include "tools/models/tflite_writer.h"

namespace tesmira::models {
namespace {

using namespace modeltest;

void expectSameModel(const TfModel& a, const TfModel& b) {
  ASSERT_EQ(a.tensors.size(), b.tensors.size());
  for (size_t i = 0; i < a.tensors.size(); ++i) {
    SCOPED_TRACE(a.tensors[i].name);
    EXPECT_EQ(a.tensors[i].shape, b.tensors[i].shape);
    EXPECT_EQ(a.tensors[i].type, b.tensors[i].type);
    EXPECT_EQ(a.tensors[i].name, b.tensors[i].name);
    EXPECT_EQ(a.tensors[i].data, b.tensors[i].data);
  }
  EXPECT_EQ(a.inputs, b.inputs);
  EXPECT_EQ(a.outputs, b.outputs);
  ASSERT_EQ(a.operators.size(), b.operators.size());
  for (size_t i = 0; i < a.operators.size(); ++i) {
    SCOPED_TRACE("operator " + std::to_string(i) + " " + tfOperatorName(a.operators[i]));
    const TfOperator &x = a.operators[i], &y = b.operators[i];
    EXPECT_EQ(x.builtin, y.builtin);
    EXPECT_EQ(x.customCode, y.customCode);
    EXPECT_EQ(x.inputs, y.inputs);
    EXPECT_EQ(x.outputs, y.outputs);
    const TfOptions &p = x.options, &q = y.options;
    EXPECT_EQ(p.samePadding, q.samePadding);
    EXPECT_EQ(std::tie(p.strideW, p.strideH, p.dilationW, p.dilationH), std::tie(q.strideW, q.strideH, q.dilationW, q.dilationH));
    EXPECT_EQ(std::tie(p.depthMultiplier, p.filterW, p.filterH, p.activation, p.axis),
              std::tie(q.depthMultiplier, q.filterW, q.filterH, q.activation, q.axis));
  }
}

TEST(TfliteWriterTest, WrittenModelsReadBackAsTheyWere) {
  // Options off their defaults, so a field written to the wrong slot shows.
  TfModel edited = detector();
  for (auto& op : edited.operators) {
    if (op.builtin == kTfConv2d || op.builtin == kTfDepthwiseConv2d || op.builtin == kTfMaxPool2d) {
      op.options.samePadding = !op.options.samePadding;
      op.options.strideW = 3;
      op.options.strideH = 5;
      op.options.activation = 3;
      if (op.builtin != kTfMaxPool2d) op.options.dilationW = 2, op.options.dilationH = 4;
      if (op.builtin == kTfDepthwiseConv2d) op.options.depthMultiplier = 2;
      if (op.builtin == kTfMaxPool2d) op.options.filterW = 7, op.options.filterH = 9;
    }
    if (op.builtin == kTfConcatenation) op.options.axis = 1, op.options.activation = 1;
    if (op.builtin == kTfAdd) op.options.activation = 1;
  }
  TfModel custom = detector();
  custom.operators[3].builtin = 32;
  custom.operators[3].customCode = "Landmarks2TransformMatrix";
  TfModel high = detector();
  high.operators[4].builtin = 150;  // beyond the byte-wide code field
  struct Case {
    const char* name;
    const TfModel* model;
  } cases[] = {{"detector", &detector()}, {"mesh", &mesh()}, {"options edited", &edited},
               {"custom operator", &custom}, {"builtin above 127", &high}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expectSameModel(*c.model, readTflite(writeTflite(*c.model)));
  }
}

TEST(TfliteWriterTest, ConstantsStartOnSixteenByteBoundaries) {
  const std::string bytes = writeTflite(widenWeights(detector()));
  TfModel back = readTflite(bytes);
  size_t checked = 0;
  for (const TfTensor& t : back.tensors) {
    if (!t.data || t.data->size() < 16) continue;
    size_t at = bytes.find(*t.data);
    ASSERT_NE(at, std::string::npos);
    if (bytes.rfind(*t.data) != at) continue;  // equal constants: which one is which is unknown
    EXPECT_EQ(at % 16, 0u) << t.name;
    ++checked;
  }
  EXPECT_GT(checked, 0u);
}

TEST(TfliteWriterTest, WideningFoldsDequantizeIntoFloatConstants) {
  for (const TfModel* model : {&detector(), &mesh()}) {
    const TfModel& m = *model;
    TfModel wide = widenWeights(m);
    size_t folded = 0;
    for (const TfOperator& op : m.operators) {
      if (op.builtin != kTfDequantize) continue;
      ++folded;
      const TfTensor& t = wide.tensors[size_t(op.outputs[0])];
      ASSERT_TRUE(t.data.has_value()) << t.name;
      EXPECT_EQ(t.type, kTfFloat32);
      EXPECT_EQ(tfConstantFloats(t), tfConstantFloats(m.tensors[size_t(op.inputs[0])])) << t.name;
    }
    EXPECT_GT(folded, 0u);
    EXPECT_EQ(wide.operators.size(), m.operators.size() - folded);
    for (const TfOperator& op : wide.operators) EXPECT_NE(op.builtin, kTfDequantize);
    if (model != &detector()) continue;
    // The widened model computes what the original does.
    NTensor input = astronautInput(m.tensors[size_t(m.inputs[0])].shape[1], 0, 1);
    auto a = reference::evaluateNhwc(m, {input}), b = reference::evaluateNhwc(wide, {input});
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) EXPECT_EQ(a[i].data, b[i].data);
  }
}

}  // namespace
}  // namespace tesmira::models
