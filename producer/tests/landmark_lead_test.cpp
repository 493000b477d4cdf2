#include "producer/landmark_lead.h"

#include <gtest/gtest.h>

namespace tesmira {
namespace {

LandmarkResult points(float x, size_t count = 3, float z = 0) {
  LandmarkResult r;
  r.found = true;
  for (size_t i = 0; i < count; ++i) r.points.push_back({x, 50.0f + float(i), z});
  return r;
}

TEST(LandmarkLead, PredictsAlongTheVelocityWithinItsLimits) {
  struct Step {
    uint64_t t;
    float x;
    float expected;
    size_t count = 3;
    bool resetFirst = false;
  };
  struct Case {
    const char* what;
    int width, height;
    double lead;
    std::vector<Step> steps;
  } cases[] = {
      {"lead 0 passes every frame", 1280, 720, 0, {{100, 100, 100}, {133, 110, 110}, {166, 130, 130}}},
      {"negative lead passes", 1280, 720, -5, {{100, 100, 100}, {133, 110, 110}}},
      {"10 px in 33 ms becomes 20", 1280, 720, 33, {{100, 100, 100}, {133, 110, 120}}},
      {"velocity between raw detections", 1280, 720, 33, {{100, 100, 100}, {133, 110, 120}, {166, 115, 120}}},
      {"1280 caps the step at 102.4", 1280, 720, 33, {{100, 100, 100}, {133, 400, 502.4f}}},
      {"cap also going left", 720, 1280, 33, {{100, 400, 400}, {133, 100, -2.4f}}},
      {"100x100 floors the cap at 12", 100, 100, 33, {{100, 10, 10}, {133, 60, 72}}},
      {"dt 1 passes and primes", 1280, 720, 33, {{100, 100, 100}, {101, 101, 101}, {134, 111, 121}}},
      {"dt 2 predicts", 1280, 720, 4, {{100, 100, 100}, {102, 101, 103}}},
      {"dt 250 predicts", 1280, 720, 125, {{100, 100, 100}, {350, 110, 115}}},
      {"dt 251 passes and primes", 1280, 720, 33, {{100, 100, 100}, {351, 110, 110}, {384, 120, 130}}},
      {"earlier time stamp passes", 1280, 720, 33, {{500, 100, 100}, {400, 110, 110}}},
      {"count change passes and primes", 1280, 720, 33,
       {{100, 100, 100}, {133, 110, 110, 4}, {166, 120, 130, 4}}},
      {"reset passes whatever the time stamps", 1280, 720, 33,
       {{100, 100, 100}, {133, 110, 110, 3, true}, {166, 120, 130}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    LandmarkLead lead;
    for (size_t s = 0; s < c.steps.size(); ++s) {
      const Step& step = c.steps[s];
      SCOPED_TRACE(s);
      if (step.resetFirst) lead.reset();
      const LandmarkResult detection = points(step.x, step.count);
      const auto out = lead.predict(detection, step.t, c.width, c.height, c.lead);
      ASSERT_EQ(out.size(), step.count);
      for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_NEAR(out[i].x, step.expected, 1e-3);
        EXPECT_FLOAT_EQ(out[i].y, 50.0f + float(i));
      }
    }
  }
}

TEST(LandmarkLead, CapShrinksDepthByTheSameFactorAndIgnoresItInTheLength) {
  LandmarkLead lead;
  lead.predict(points(100, 1, 0), 100, 1280, 720, 33);
  // In-plane 300 px: capped at 102.4, so z's 30 shrinks to 30 x 102.4 / 300.
  auto out = lead.predict(points(400, 1, 30), 133, 1280, 720, 33);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_FLOAT_EQ(out[0].x, 502.4f);
  EXPECT_NEAR(out[0].z, 30 + 30 * 102.4 / 300, 1e-3);
  // A large depth move alone is not capped.
  LandmarkLead depth;
  depth.predict(points(100, 1, 0), 100, 1280, 720, 33);
  out = depth.predict(points(100, 1, 500), 133, 1280, 720, 33);
  EXPECT_FLOAT_EQ(out[0].z, 1000);
  EXPECT_FLOAT_EQ(out[0].x, 100);
}

}  // namespace
}  // namespace tesmira
