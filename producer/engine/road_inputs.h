#pragma once
// What both retouch roads take: the camera frame, made once where it is taken, and the
// face found in it.
#include <d3d11.h>
#include <opencv2/core.hpp>
#include <wrl/client.h>

#include <array>
#include <vector>

namespace tesmira {

struct CameraFrame {
  // 8-bit BGR, as the viewer sees it (mirrored when the mirror option is on). With a
  // texture it is the CPU's copy for the landmarks, and the GPU roads take only its size.
  cv::Mat image;
  // The frame on the compositor's device in texture mode, else null.
  Microsoft::WRL::ComPtr<ID3D11Texture2D> texture;
  UINT subresource = 0;
  // The engine mirrors the texture (the camera delivers it unmirrored).
  bool mirrorTexture = false;
};

// One frame's face: alignment, crop, mapped points and the skin model's raw output.
struct FaceCrop {
  std::array<double, 6> cropFromFrame = {1, 0, 0, 0, 1, 0};
  cv::Mat crop;
  std::vector<cv::Point2f> points;
  std::vector<float> skinField;
  bool mouthOpen = false;
};

}  // namespace tesmira
