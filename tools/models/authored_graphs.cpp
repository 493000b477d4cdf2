#include "tools/models/authored_graphs.h"

#include <stdexcept>

#include "tools/models/tflite_to_onnx.h"

namespace tesmira::models {

const std::vector<int> kLeftEyeContour = {33, 7, 163, 144, 145, 153, 154, 155, 133, 173, 157, 158, 159, 160, 161, 246};
const std::vector<int> kRightEyeContour = {263, 249, 390, 373, 374, 380, 381, 382,
                                           362, 398, 384, 385, 386, 387, 388, 466};

namespace {

// Small helpers over the writer for readable formulas.
struct Ops {
  Graph& g;
  std::string add(const std::string& a, const std::string& b) { return g.node("Add", {a, b}); }
  std::string sub(const std::string& a, const std::string& b) { return g.node("Sub", {a, b}); }
  std::string mul(const std::string& a, const std::string& b) { return g.node("Mul", {a, b}); }
  std::string div(const std::string& a, const std::string& b) { return g.node("Div", {a, b}); }
  std::string k(float v) { return g.scalar(v); }
  std::string clip(const std::string& a, float lo, float hi) { return g.node("Clip", {a, k(lo), k(hi)}); }
  std::string sigmoid(const std::string& a) { return g.node("Sigmoid", {a}); }
  std::string relu(const std::string& a) { return g.node("Relu", {a}); }
  std::string sqrt(const std::string& a) { return g.node("Sqrt", {a}); }
  // Channel c of an NCHW-ordered tensor.
  std::string channel(const std::string& x, int c) {
    return g.node("Slice", {x, g.int64s({c}), g.int64s({c + 1}), g.int64s({1})});
  }
  std::string concat(std::vector<std::string> parts, int axis) {
    return g.node("Concat", std::move(parts), {attrInt("axis", axis)});
  }
  std::string luma(const std::string& rgb) {
    return add(add(mul(channel(rgb, 0), k(0.299f)), mul(channel(rgb, 1), k(0.587f))), mul(channel(rgb, 2), k(0.114f)));
  }
  std::string pool(const char* op, const std::string& x, int kernel, int stride, int pad) {
    std::vector<Attribute> attrs = {attrInts("kernel_shape", {kernel, kernel}), attrInts("strides", {stride, stride}),
                                    attrInts("pads", {pad, pad, pad, pad})};
    if (std::string(op) == "AveragePool") attrs.push_back(attrInt("count_include_pad", 0));
    return g.node(op, {x}, attrs);
  }
  std::string mean3(const std::string& x) { return pool("AveragePool", x, 3, 1, 1); }
};

}  // namespace

Graph skinGraph(const SkinZones& zones) {
  if (zones.wrinkle.size() != 40 * 64 || zones.bags.size() != 40 * 64) throw std::invalid_argument("zones must be 40x64");
  Graph g("tesmira_skin");
  Ops o{g};
  g.input("data", {1, 3, 320, 512});
  g.input("cond", {1, 4, 1, 1});
  // Tensors keep the input's order: dim 2 the column (x), dim 3 the row (y).
  std::string x = o.mul(std::string("data"), o.k(1.0f / 255.0f));
  std::string cell = o.pool("AveragePool", x, 8, 8, 0);  // {1,3,40,64} cell means
  std::string target = o.mean3(cell);                     // low band; linear ramps survive
  std::string luma = o.luma(cell);
  // Structure (eyes, brows, lips): the 3x3 spread of cell luma. Skin keeps edge 1 up to a
  // spread of 0.06; edge falls to 0 as the spread nears 0.12.
  std::string spread = o.sqrt(o.relu(o.sub(o.mean3(o.mul(luma, luma)), o.mul(o.mean3(luma), o.mean3(luma)))));
  std::string edge = o.clip(o.sub(o.k(2.0f), o.div(spread, o.k(0.06f))), 0, 1);
  // A dark outlier in the cell: its darkest pixel well below the cell's mean.
  std::string pixelLuma = o.luma(x);
  std::string cellMin = o.mul(o.pool("MaxPool", o.mul(pixelLuma, o.k(-1)), 8, 8, 0), o.k(-1));
  std::string spot = o.clip(o.div(o.sub(o.sub(luma, cellMin), o.k(0.04f)), o.k(0.08f)), 0, 1);
  std::string wrinkleZone = g.constant("zone_wrinkle", {1, 1, 40, 64}, zones.wrinkle);
  std::string bagsZone = g.constant("zone_bags", {1, 1, 40, 64}, zones.bags);
  std::string clearSkin = o.channel(std::string("cond"), 0);
  std::string eyeBags = o.channel(std::string("cond"), 1);
  std::string wrinkles = o.channel(std::string("cond"), 2);
  std::string share = o.add(o.add(o.mul(clearSkin, o.add(o.k(0.55f), o.mul(spot, o.k(0.4f)))),
                                  o.mul(wrinkles, o.mul(wrinkleZone, o.k(0.45f)))),
                            o.mul(eyeBags, o.mul(bagsZone, o.k(0.9f))));
  std::string alpha = o.clip(o.mul(edge, share), 0, 0.92f);
  // Under the eyes the target rises toward the cheek three cells (24 px) below.
  std::string below = g.node("Pad", {g.node("Slice", {target, g.int64s({3}), g.int64s({64}), g.int64s({3})}),
                                     g.int64s({0, 0, 0, 0, 0, 0, 0, 3})},
                             {attrString("mode", "edge")});
  std::string lifted = o.add(target, o.mul(o.mul(bagsZone, eyeBags), o.relu(o.sub(below, target))));
  // Encoded for the compositor: f3 = (a + 0.25) / 1.75, fc = (a * Tc + 0.25) / 1.5, in bytes.
  std::string f3 = o.mul(o.add(alpha, o.k(0.25f)), o.k(255.0f / 1.75f));
  std::string fc = o.mul(o.add(o.mul(alpha, lifted), o.k(0.25f)), o.k(255.0f / 1.5f));
  g.node("Concat", {fc, f3}, {attrInt("axis", 1)}, "output_0");
  g.output("output_0", {1, 4, 40, 64});
  return g;
}

Graph teethGraph() {
  Graph g("tesmira_teeth");
  Ops o{g};
  g.input("data", {1, 3, 128, 128});
  std::string x = o.mul(std::string("data"), o.k(1.0f / 255.0f));
  std::string luma = o.luma(x);
  std::string redness = o.sub(o.channel(x, 0), o.channel(x, 1));
  // Teeth in the mouth's shade still reach luma 0.45; the dark of the mouth stays below 0.3.
  std::string bright = o.sigmoid(o.mul(o.sub(luma, o.k(0.38f)), o.k(25.0f)));
  // Redness relative to brightness: lit lips reach R - G of about 0.14 at luma 0.6, which
  // yellowish teeth come close to in absolute terms but not relative to their brightness.
  std::string relative = o.div(redness, g.node("Max", {luma, o.k(0.05f)}));
  std::string notRed = o.sigmoid(o.mul(o.sub(o.k(0.2f), relative), o.k(35.0f)));
  // The compositor's red can carry at most alpha * W = 0.448; 0.44 with W up to 1 keeps inside.
  std::string alpha = o.mul(o.mul(bright, notRed), o.k(0.44f));
  // A neutral white above the tooth's own brightness (so bright teeth brighten too), lower
  // for teeth in shade so that they lighten without glowing.
  std::string white = o.clip(o.add(o.mul(luma, o.k(0.5f)), o.k(0.55f)), 0, 1.0f);
  std::string colour = o.mul(alpha, white);  // C = alpha * W for red and green
  // Blue is lifted by the tooth's own yellowness (blue below the mean of red and green), so
  // that the blend takes most of the yellow out rather than only diluting it.
  std::string yellow = o.relu(o.sub(o.mul(o.add(o.channel(x, 0), o.channel(x, 1)), o.k(0.5f)), o.channel(x, 2)));
  std::string blue = o.mul(alpha, o.add(white, yellow));
  // The compositor's constants inverted (its red and blue read k = 0.9 * (0.59 f0 - 0.05)).
  std::string f0 = o.div(o.add(o.div(colour, o.k(0.921569f * 0.9f)), o.k(0.05f)), o.k(0.59f));
  std::string f1 = o.div(o.add(o.div(colour, o.k(0.9f)), o.k(0.05f)), o.k(0.59f));
  std::string kRed = o.div(colour, o.k(0.921569f));
  std::string f2 = o.div(o.add(o.div(o.sub(blue, o.mul(kRed, o.k(0.352941f))), o.k(0.9f)), o.k(0.04f)), o.k(0.59f));
  std::string f3 = o.div(o.add(o.div(alpha, o.k(0.9f)), o.k(0.15f)), o.k(0.69f));
  // Where nothing is whitened every field value is 0, which the compositor reads as neutral.
  std::string on = o.g.node("Cast", {o.g.node("Greater", {alpha, o.k(1e-4f)})}, {attrInt("to", 1)});
  std::string field = o.mul(o.concat({f0, f1, f2, f3}, 1), on);
  g.node("Mul", {field, o.k(255.0f)}, {}, "output_0");
  g.output("output_0", {1, 4, 128, 128});
  return g;
}

Graph meshAdapterGraph(const TfModel& mesh) {
  Graph g("tesmira_face_landmarks");
  Ops o{g};
  g.input("input_12", {1, 256, 256, 3});
  std::string nchw = g.node("Transpose", {"input_12"}, {attrInts("perm", {0, 3, 1, 2})});
  std::string resized = g.node("Resize", {nchw, "", "", g.int64s({1, 3, 192, 192})},
                               {attrString("mode", "linear"), attrString("coordinate_transformation_mode", "half_pixel")});
  if (mesh.inputs.size() != 1 || mesh.outputs.size() != 2) throw std::runtime_error("unexpected mesh model");
  std::vector<std::string> outs = convertTflite(mesh, g, {{mesh.inputs[0], resized}});
  // The mesh's points in 192-pixel units, scaled back to the 256-pixel input.
  std::string points = o.mul(g.node("Reshape", {outs[0], g.int64s({468, 3})}), o.k(256.0f / 192.0f));
  auto gather = [&](const std::vector<int>& idx) {
    std::vector<int64_t> i(idx.begin(), idx.end());
    return g.node("Gather", {points, g.int64s(i)}, {attrInt("axis", 0)});
  };
  // Ten iris points: per eye the contour's mean, then four points at +-0.195 x the
  // corner-to-corner width along and across the eye axis; their z is the contour's mean z.
  std::string flat = g.constant("xy_only", {3, 3}, {0.195f, 0, 0, 0, 0.195f, 0, 0, 0, 0});
  std::string turn = g.constant("xy_turn", {3, 3}, {0, 0.195f, 0, -0.195f, 0, 0, 0, 0, 0});
  auto iris = [&](const std::vector<int>& contour) {
    std::string centre = g.node("ReduceMean", {gather(contour)}, {attrInts("axes", {0}), attrInt("keepdims", 1)});
    std::string axis = o.sub(gather({contour[8]}), gather({contour[0]}));  // {1,3}, corner to corner
    std::string along = g.node("MatMul", {axis, flat});
    std::string across = g.node("MatMul", {axis, turn});
    std::string offsets = o.concat({along, o.mul(along, o.k(-1)), across, o.mul(across, o.k(-1))}, 0);
    return o.concat({centre, o.add(centre, offsets)}, 0);  // {5,3}
  };
  std::string all = o.concat({points, iris(kLeftEyeContour), iris(kRightEyeContour)}, 0);  // {478,3}
  g.node("Reshape", {all, g.int64s({1, 1, 1, 478 * 3})}, {}, "Identity");
  g.output("Identity", {1, 1, 1, 478 * 3});
  g.node("Identity", {outs[1]}, {}, "Identity_1");
  g.output("Identity_1", {1, 1, 1, 1});
  return g;
}

}  // namespace tesmira::models
