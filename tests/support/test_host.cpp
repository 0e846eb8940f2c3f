#include "test_host.h"

#include <cstring>

namespace optest {

std::filesystem::path pluginPath(const std::string& name) {
  return std::filesystem::path(OP_PLUGIN_DIR) / (name + ".so");
}

std::filesystem::path testPluginPath(const std::string& name) {
  return std::filesystem::path(OP_TEST_PLUGIN_DIR) / (name + ".so");
}

std::unique_ptr<ophost::Plugin> loadPlugin(const std::string& name) {
  return ophost::Plugin::load(pluginPath(name));
}

Picture solidPicture(const Geometry& geometry, uint32_t pixel) {
  Picture picture(geometry, 4);
  for (int32_t row = 0; row < geometry.rows; ++row)
    for (int32_t column = 0; column < geometry.stride; ++column) picture.setPixel(column, row, pixel);
  return picture;
}

ophost::FieldProvider fixedInputs(std::shared_ptr<const Picture> input0,
                                  std::shared_ptr<const Picture> input1) {
  return [input0, input1](int32_t index, uint32_t) { return index == 0 ? input0 : input1; };
}

ActionRequest at(uint32_t position, uint32_t length) {
  ActionRequest request;
  request.position = position;
  request.length = length;
  return request;
}

std::vector<Geometry> typicalGeometries() {
  return {
      Geometry::exact(16, 12),
      Geometry{23, 17, 3, 2, 15, 11},  // letterboxed: margins on every side
      Geometry{40, 9, 5, 1, 33, 8},    // area reaching the buffer's last row, x > 0
      Geometry{9, 31, 0, 4, 9, 27},    // full width, rows above and below
  };
}

void expectNoFaults(const ActionResult& result) {
  for (const std::string& fault : result.faults) ADD_FAILURE() << "plug-in fault: " << fault;
}

void expectOutsideAreaUnchanged(const Picture& before, const Picture& after) {
  ASSERT_EQ(before.geometry, after.geometry);
  const Geometry& g = before.geometry;
  for (int32_t row = 0; row < g.rows; ++row) {
    for (int32_t column = 0; column < g.stride; ++column) {
      if (g.contains(column, row)) continue;
      if (before.pixel(column, row) != after.pixel(column, row)) {
        ADD_FAILURE() << "pixel outside the active area changed at " << column << "," << row;
        return;
      }
    }
  }
}

}  // namespace optest
