// opequiv: renders many random frames through two builds of each plug-in and compares everything
// the host sees: status, output bytes (inside and outside the active area), every host call with
// its arguments, every log record, faults, notes, and the images given back.
//
//   opequiv --before=DIR --after=DIR [--cases=N] [--seed=S] [NAME...]
//   opequiv --paths=DIR [--cases=N] [--seed=S] [NAME...]
//
// DIR holds NAME.so files. The runtime loads a library once per process, so the two builds must
// be different files: copy the old ones elsewhere first (e.g. cp build/plugins/*.so /tmp/before/plugins).
// The copies find the host libraries already loaded in this process by their soname.
//
// --paths compares the vector paths of one build: each plug-in on its baseline path against the
// same plug-in on every wider path this machine runs (AVX2, AVX-512), each a copy of the library
// loaded on its own, its path set through OP_VECTOR_PATH around every action (a plug-in fixes its
// path at its first use).
//
// Each case draws a geometry (exact, letterboxed with x, y > 0 and stride > width, one row or one
// column up to 32767 long, now and then a full 1080p frame or an empty area), parameter values (in
// range, and now and then out of range, written straight into the plug-in as a stray host might),
// a length and positions (0, inside, at and past the end, up to 2^32 - 1), the scale flag and
// factors, missing inputs, a refused new image, the put's answer and the abort flag, and textures
// of the real size or of another (or none). It opens both builds, renders one to three frames and
// closes them, comparing every action's result.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <cstdlib>

#include "noise_picture.h"
#include "vector_path.h"
#include "synthetic_textures.h"
#include "plugin.h"

namespace {

using ophost::ActionRequest;
using ophost::ActionResult;
using ophost::Geometry;
using ophost::Picture;

struct Case {
  Geometry geometry;
  std::vector<int64_t> values;     // one per parameter, as written into the plug-in
  std::vector<ActionRequest> renders;
  uint32_t seed0 = 0, seed1 = 0;
  bool missing0 = false, missing1 = false;
  bool allocNull = false;
  int32_t putStatus = 0;
  bool abort = false;
  int textureMode = 0;  // 0 real size, 1 larger, 2 smaller, 3 none (noise); 4 real size, smooth
  std::string describe() const {
    std::ostringstream out;
    out << "geometry " << geometry.describe() << " values";
    for (int64_t v : values) out << ' ' << v;
    out << " renders";
    for (const ActionRequest& r : renders) {
      out << " [" << r.position << '/' << r.length << " flags " << int(r.flags) << " scale "
          << r.scaleNum << '/' << r.scaleDen << ']';
    }
    out << " missing " << missing0 << missing1 << " allocNull " << allocNull << " put " << putStatus
        << " abort " << abort << " textures " << textureMode;
    return out.str();
  }
};

class Draw {
 public:
  explicit Draw(uint64_t seed) : rng_(seed) {}
  int64_t in(int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(rng_);
  }
  bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

  Geometry geometry() {
    int32_t w, h;
    const int64_t kind = in(0, 99);
    if (kind < 55) {
      w = (int32_t)in(1, 64);
      h = (int32_t)in(1, 48);
    } else if (kind < 80) {
      w = (int32_t)in(1, 400);
      h = (int32_t)in(1, 300);
    } else if (kind < 88) {
      w = (int32_t)in(1, 32750);
      h = (int32_t)in(1, 3);
    } else if (kind < 95) {
      w = (int32_t)in(1, 3);
      h = (int32_t)in(1, 32750);
    } else if (kind < 97) {
      w = chance(0.5) ? 1920 : 720;
      h = w == 1920 ? 1080 : 576;
    } else {
      w = chance(0.5) ? 0 : (int32_t)in(0, 20);
      h = w == 0 ? (int32_t)in(0, 20) : 0;
    }
    Geometry g;
    g.x = chance(0.4) ? 0 : (int32_t)in(0, std::min<int64_t>(9, 32767 - w));
    g.y = chance(0.4) ? 0 : (int32_t)in(0, std::min<int64_t>(9, 32767 - h));
    g.width = w;
    g.height = h;
    g.stride = g.x + w + (int32_t)(chance(0.4) ? 0 : in(0, std::min<int64_t>(9, 32767 - g.x - w)));
    g.rows = g.y + h + (int32_t)(chance(0.4) ? 0 : in(0, std::min<int64_t>(9, 32767 - g.y - h)));
    if (g.stride == 0) g.stride = 1;
    if (g.rows == 0) g.rows = 1;
    return g;
  }

  uint32_t length() {
    const int64_t kind = in(0, 99);
    if (kind < 45) return (uint32_t)in(1, 200);
    if (kind < 60) return (uint32_t)in(0, 2);
    if (kind < 80) return (uint32_t)in(1, 1'000'000);
    return (uint32_t)in(0, 0xFFFFFFFFll);
  }

  uint32_t position(uint32_t length) {
    const int64_t kind = in(0, 99);
    if (kind < 70) return (uint32_t)in(0, length);
    if (kind < 85) return length;
    return (uint32_t)in(length, 0xFFFFFFFFll);
  }

  std::mt19937_64& rng() { return rng_; }

 private:
  std::mt19937_64 rng_;
};

Case drawCase(Draw& draw, const ophost::OperatorModel& model) {
  Case c;
  c.geometry = draw.geometry();
  for (const ophost::ParamModel& p : model.params) {
    int64_t v;
    if (p.kind == ophost::ParamKind::Colour) {
      v = draw.in(0, 0xFFFFFFFFll);
    } else if (draw.chance(0.08)) {
      v = draw.in(p.lowest() - 300, p.highest() + 300);  // out of range, written directly
    } else if (draw.chance(0.1)) {
      v = p.defaultValue;
    } else {
      v = draw.in(p.lowest(), p.highest());
    }
    c.values.push_back(v);
  }
  const int64_t count = draw.in(1, 3);
  const uint32_t length = draw.length();
  for (int64_t n = 0; n < count; ++n) {
    ActionRequest r;
    r.length = draw.chance(0.85) ? length : draw.length();
    r.position = draw.position(r.length);
    r.flags = (uint8_t)(draw.chance(0.3) ? draw.in(0, 255) : 0);
    r.scaleNum = (int16_t)(draw.chance(0.5) ? draw.in(-32768, 32767) : draw.in(-3, 300));
    r.scaleDen = (int16_t)(draw.chance(0.5) ? draw.in(-32768, 32767) : draw.in(-3, 300));
    c.renders.push_back(r);
  }
  c.seed0 = (uint32_t)draw.in(0, 0xFFFFFFFFll);
  c.seed1 = (uint32_t)draw.in(0, 0xFFFFFFFFll);
  c.missing0 = draw.chance(0.03);
  c.missing1 = draw.chance(0.03);
  c.allocNull = draw.chance(0.03);
  c.putStatus = draw.chance(0.05) ? -1 : 0;
  c.abort = draw.chance(0.1);
  const int64_t t = draw.in(0, 99);
  c.textureMode = t < 45 ? 0 : t < 85 ? 4 : t < 92 ? 1 : t < 97 ? 2 : 3;
  return c;
}

ophost::TextureProvider texturesFor(const Case& c) {
  const int mode = c.textureMode;
  const uint32_t seed = c.seed0;
  return [mode, seed](const std::string& name) -> std::shared_ptr<const Picture> {
    int32_t w = 0, h = 0;
    if (mode == 3 || !synthetic::textureSize(name, w, h)) throw ophost::HostError("none here");
    // Smooth pictures, like the real ones, give long stretches that keep or take.
    if (mode == 4) return std::make_shared<const Picture>(synthetic::syntheticTexture(name, w, h));
    if (mode == 1) {
      w += 1 + (int32_t)(seed % 40);
      h += 1 + (int32_t)(seed / 40 % 30);
    } else if (mode == 2) {
      w -= 1 + (int32_t)(seed % 5);
      h -= (int32_t)(seed / 5 % 3);
    }
    // Noise rather than a smooth picture: every texel level and every band position gets met.
    Picture grey(Geometry::exact(w, h), 1);
    uint32_t state = seed | 1;
    for (uint8_t& byte : grey.bytes) {
      state ^= state << 13;
      state ^= state >> 17;
      state ^= state << 5;
      byte = (uint8_t)(state >> 24);
    }
    (void)name;
    return std::make_shared<const Picture>(std::move(grey));
  };
}

// Everything of a result that a host could observe, as text (outputs compared separately).
std::string observable(const ActionResult& r) {
  std::ostringstream out;
  out << "status " << r.status << "\nlabel " << r.outputLabel << "\n";
  for (const ophost::HostCall& call : r.calls) {
    out << "call " << int(call.kind) << ' ' << call.index << ' ' << call.position << ' ' << call.image
        << ' ' << call.text << "\n";
  }
  for (const ophost::LogRecord& log : r.logs) {
    out << "log " << log.level << ' ' << log.line << ' ' << log.file << ' ' << log.code << ' '
        << log.text << "\n";
  }
  for (const std::string& s : r.faults) out << "fault " << s << "\n";
  for (const std::string& s : r.notes) out << "note " << s << "\n";
  for (const std::string& s : r.reclaimed) out << "reclaimed " << s << "\n";
  for (const ophost::ReleasedImage& f : r.freed) out << "freed " << f.label << "\n";
  return out.str();
}

// Empty when the two results agree; otherwise what differs.
std::string difference(const ActionResult& a, const ActionResult& b) {
  const std::string ta = observable(a), tb = observable(b);
  if (ta != tb) return "before:\n" + ta + "after:\n" + tb;
  if (a.output.has_value() != b.output.has_value()) return "one has an output, the other not";
  if (a.output && !(*a.output == *b.output)) {
    const Picture& pa = *a.output;
    const Picture& pb = *b.output;
    if (pa.geometry != pb.geometry) return "output geometries differ";
    for (size_t n = 0; n < pa.bytes.size(); ++n) {
      if (pa.bytes[n] != pb.bytes[n]) {
        const size_t pixel = n / 4;
        return "output differs first at buffer column " + std::to_string(pixel % pa.geometry.stride) +
               ", row " + std::to_string(pixel / pa.geometry.stride) + ", byte " +
               std::to_string(n % 4) + ": " + std::to_string(pa.bytes[n]) + " before, " +
               std::to_string(pb.bytes[n]) + " after";
      }
    }
  }
  for (size_t n = 0; n < a.freed.size(); ++n) {
    if (!(a.freed[n].content == b.freed[n].content)) return "image given back differs: " + a.freed[n].label;
  }
  return {};
}

struct Pair {
  std::unique_ptr<ophost::Plugin> before, after;
  std::string beforePath, afterPath;  // OP_VECTOR_PATH for each, or empty: left as it is
};

// Runs one action of one side of the pair with its vector path asked for.
template <typename Action>
ActionResult onPath(const std::string& path, Action action) {
  if (!path.empty()) setenv("OP_VECTOR_PATH", path.c_str(), 1);
  return action();
}

void setUp(ophost::Plugin& p, const Case& c, const std::atomic<bool>& abort) {
  for (size_t n = 0; n < c.values.size(); ++n) *p.model().params[n].valueWord = (uint32_t)c.values[n];
  auto in0 = std::make_shared<const Picture>(ophost::noisePicture(c.geometry, c.seed0));
  auto in1 = std::make_shared<const Picture>(ophost::noisePicture(c.geometry, c.seed1));
  const bool m0 = c.missing0, m1 = c.missing1;
  p.setFieldProvider([in0, in1, m0, m1](int32_t index, uint32_t) -> std::shared_ptr<const Picture> {
    if (index == 0) return m0 ? nullptr : in0;
    return m1 ? nullptr : in1;
  });
  p.setTextureProvider(texturesFor(c));
  ophost::HostBehaviour& b = p.behaviour();
  b.checks = true;
  b.allocAnswersNull = c.allocNull;
  b.putStatus = c.putStatus;
  b.abort = &abort;
}

// Runs one case through both builds; returns false (and says why) at the first difference.
bool runCase(Pair& pair, const Case& c, const std::atomic<bool>& abort) {
  setUp(*pair.before, c, abort);
  setUp(*pair.after, c, abort);
  auto compare = [&](const char* what, const ActionResult& a, const ActionResult& b) {
    const std::string diff = difference(a, b);
    if (diff.empty()) return true;
    std::printf("  %s differs in case: %s\n%s\n", what, c.describe().c_str(), diff.c_str());
    return false;
  };
  ophost::Plugin& before = *pair.before;
  ophost::Plugin& after = *pair.after;
  if (!compare("open", onPath(pair.beforePath, [&] { return before.open(); }),
               onPath(pair.afterPath, [&] { return after.open(); }))) {
    return false;
  }
  for (const ActionRequest& r : c.renders) {
    if (!compare("render", onPath(pair.beforePath, [&] { return before.render(r); }),
                 onPath(pair.afterPath, [&] { return after.render(r); }))) {
      return false;
    }
  }
  return compare("close", onPath(pair.beforePath, [&] { return before.close(); }),
                 onPath(pair.afterPath, [&] { return after.close(); }));
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path beforeDir, afterDir, pathsDir;
  long cases = 3000;
  uint64_t seed = 1;
  std::vector<std::string> names;
  for (int n = 1; n < argc; ++n) {
    const std::string arg = argv[n];
    if (arg.rfind("--before=", 0) == 0) beforeDir = arg.substr(9);
    else if (arg.rfind("--after=", 0) == 0) afterDir = arg.substr(8);
    else if (arg.rfind("--paths=", 0) == 0) pathsDir = arg.substr(8);
    else if (arg.rfind("--cases=", 0) == 0) cases = std::stol(arg.substr(8));
    else if (arg.rfind("--seed=", 0) == 0) seed = std::stoull(arg.substr(7));
    else names.push_back(arg);
  }
  // Each side: a directory, the path it is run on (empty: as it is) and a name for the report.
  struct Side {
    std::filesystem::path dir;
    std::string path;
  };
  std::vector<std::pair<Side, Side>> comparisons;
  std::filesystem::path copies;
  if (!pathsDir.empty()) {
    // A copy of the build per path, so that every loaded library fixes a path of its own.
    const char* names_[] = {"baseline", "avx2", "avx512"};
    const int widest = opframe::cpuVectorPath();
    copies = std::filesystem::temp_directory_path() / ("opequiv-paths-" + std::to_string(getpid()));
    // The copies find the host libraries through their RUNPATH, $ORIGIN/../lib, as the build does.
    std::filesystem::create_directories(copies);
    std::filesystem::create_directory_symlink(std::filesystem::absolute(pathsDir) / ".." / "lib", copies / "lib");
    for (int p = 0; p <= widest; ++p) {
      std::filesystem::create_directories(copies / names_[p]);
      for (const auto& e : std::filesystem::directory_iterator(pathsDir)) {
        if (e.path().extension() == ".so") {
          std::filesystem::copy_file(e.path(), copies / names_[p] / e.path().filename());
        }
      }
      if (p > 0) comparisons.push_back({{copies / "baseline", "baseline"}, {copies / names_[p], names_[p]}});
    }
    if (widest == 0) std::printf("this machine runs only the baseline path: nothing to compare\n");
    beforeDir = afterDir = pathsDir;
  } else if (beforeDir.empty() || afterDir.empty()) {
    std::fprintf(stderr,
                 "usage: opequiv --before=DIR --after=DIR | --paths=DIR [--cases=N] [--seed=S] [NAME...]\n");
    return 2;
  } else {
    comparisons.push_back({{beforeDir, ""}, {afterDir, ""}});
  }
  if (names.empty()) {
    for (const auto& e : std::filesystem::directory_iterator(afterDir)) {
      if (e.path().extension() == ".so" && std::filesystem::exists(beforeDir / e.path().filename())) {
        names.push_back(e.path().stem().string());
      }
    }
    std::sort(names.begin(), names.end());
  }

  int failed = 0;
  std::atomic<bool> abort{false};
  for (const auto& [beforeSide, afterSide] : comparisons) {
    for (const std::string& name : names) {
      Pair pair;
      pair.beforePath = beforeSide.path;
      pair.afterPath = afterSide.path;
      try {
        pair.before = ophost::Plugin::load(beforeSide.dir / (name + ".so"));
        pair.after = ophost::Plugin::load(afterSide.dir / (name + ".so"));
      } catch (const std::exception& error) {
        std::printf("%s: %s\n", name.c_str(), error.what());
        ++failed;
        continue;
      }
      Draw draw(seed * 1000003u + std::hash<std::string>{}(name));
      long done = 0, frames = 0;
      bool same = true;
      for (; done < cases && same; ++done) {
        const Case c = drawCase(draw, pair.after->model());
        abort.store(c.abort);
        same = runCase(pair, c, abort);
        frames += (long)c.renders.size();
      }
      const std::string paths = afterSide.path.empty() ? "" : " (" + afterSide.path + " path against baseline)";
      std::printf("%-10s %s: %ld cases, %ld frames compared%s\n", name.c_str(),
                  same ? "same" : "DIFFERENT", done, frames, paths.c_str());
      if (!same) ++failed;
    }
  }
  if (!copies.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(copies, ignored);
  }
  return failed == 0 ? 0 : 1;
}
