// The test host: loads a real built plug-in through the host runtime, feeds it pictures, and checks
// every action's result for plug-in faults. Images the runtime hands out carry guard zones before
// and after their buffers and, with checks on, a record of everything outside the active area, so a
// write outside the area or past the buffer shows up as a fault.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "noise_picture.h"
#include "plugin.h"

namespace optest {

using ophost::ActionRequest;
using ophost::ActionResult;
using ophost::Geometry;
using ophost::Picture;

std::filesystem::path pluginPath(const std::string& name);      // build/plugins/NAME.so
std::filesystem::path testPluginPath(const std::string& name);  // build/test-plugins/NAME.so
std::unique_ptr<ophost::Plugin> loadPlugin(const std::string& name);

using ophost::noisePicture;  // noise_picture.h
// A four-byte picture filled with one pixel value.
Picture solidPicture(const Geometry& geometry, uint32_t pixel);
// A one-byte grey picture of width x height filled by f(column, row).
template <typename F>
Picture greyPicture(int32_t width, int32_t height, F f) {
  Picture grey(Geometry::exact(width, height), 1);
  for (int32_t row = 0; row < height; ++row)
    for (int32_t column = 0; column < width; ++column)
      *grey.at(column, row) = static_cast<uint8_t>(f(column, row));
  return grey;
}

// Inputs that are the same pictures at every position; a null picture stands for a missing input.
ophost::FieldProvider fixedInputs(std::shared_ptr<const Picture> input0,
                                  std::shared_ptr<const Picture> input1);
inline ophost::FieldProvider fixedInputs(const Picture& input0, const Picture& input1) {
  return fixedInputs(std::make_shared<const Picture>(input0), std::make_shared<const Picture>(input1));
}

ActionRequest at(uint32_t position, uint32_t length);

// The active-area geometries every plug-in is tried on: exact buffers and letterboxed ones with
// x, y > 0 and stride > width.
std::vector<Geometry> typicalGeometries();

// Fails the test when the action found plug-in faults.
void expectNoFaults(const ActionResult& result);

// Fails unless `after` equals `before` outside the active area (pixels of `geometry`).
void expectOutsideAreaUnchanged(const Picture& before, const Picture& after);

}  // namespace optest
