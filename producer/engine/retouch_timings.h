#pragma once
// What one call of the retouch engine took, stage by stage, and what the frame held.
namespace tesmira {

// Milliseconds on the steady clock; every field is zero at the start of each call.
struct RetouchTimings {
  double pipeline = 0;
  double skin_model = 0;
  double skin_comp = 0;
  double teeth_total = 0;
  double teeth_roi = 0;
  double teeth_model = 0;
  double teeth_comp = 0;
  double eye = 0;
  double paste = 0;
  bool mouthOpen = false;
  bool teethApplied = false;
  bool eyeApplied = false;
};

}  // namespace tesmira
