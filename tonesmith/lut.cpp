// Look-up tables: named presets and .cube files, each mixed in with an
// opacity, from the layers of --lut-layers or the positional LUT.
#include <algorithm>

#include "colour.h"
#include "tonesmith.h"

namespace tonesmith {
namespace {

std::string lowerCased(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// before × (1 − t) + current × t, unless t is (nearly) 1.
void blendFrom(RenderState& state, const coreimage::Image& before, double opacity) {
  double t = clamp(opacity, 0, 1);
  if (t >= 0.9999) return;
  RenderState mix;
  mix.image = before;
  applyFilter(mix, "CIDissolveTransition", {{"inputTargetImage", state.image}, {"inputTime", t}});
  state.image = mix.image;
}

bool isNamedLook(const std::string& lowered) {
  for (const char* look : {"", "none", "mono", "noir", "fade", "instant", "chrome", "negative", "warm", "cool"})
    if (lowered == look) return true;
  return false;
}

std::string cubeFileKey(const std::string& path) { return "cube file " + path; }

// Calls `use` with the name and opacity of each LUT to apply, in order:
// the enabled layers of --lut-layers, or else the positional LUT.
template <typename Use>
void forEachLut(Use use) {
  const auto& layers = settings().lutLayers;
  if (isArrayOfObjects(layers) && !layers->empty()) {
    for (const auto& layer : *layers) {
      auto enabled = layer.find("enabled");
      if (enabled != layer.end() && enabled->is_boolean() && !enabled->get<bool>()) continue;
      auto lut = layer.find("lut");
      auto opacity = layer.find("opacity");
      use(lut != layer.end() && lut->is_string() ? lut->get<std::string>() : "none",
          opacity != layer.end() && opacity->is_number() ? opacity->get<double>() : 1.0);
    }
    return;
  }
  use(settings().lut, 1.0);
}

void applyOneLut(RenderState& state, const std::string& name, double opacity) {
  const std::string n = lowerCased(name);
  if (n.empty() || n == "none") return;
  const coreimage::Image before = state.image;
  using coreimage::Vector;
  if (n == "mono") applyFilter(state, "CIPhotoEffectMono");
  else if (n == "noir") applyFilter(state, "CIPhotoEffectNoir");
  else if (n == "fade") applyFilter(state, "CIPhotoEffectFade");
  else if (n == "instant") applyFilter(state, "CIPhotoEffectInstant");
  else if (n == "chrome") applyFilter(state, "CIPhotoEffectChrome");
  else if (n == "negative") applyFilter(state, "CIColorInvert");
  else if (n == "warm" || n == "cool")
    applyFilter(state, "CITemperatureAndTint",
                {{"inputNeutral", Vector{{6500, 0}}}, {"inputTargetNeutral", Vector{{n == "warm" ? 5200.0 : 8200.0, 0}}}});
  else {
    const std::optional<ColorCube>* ahead = cubeBuiltAhead(cubeFileKey(name));
    std::optional<ColorCube> cube = ahead ? *ahead : cubeData(name);
    if (!cube || applyColorCube(state, *cube) != CubeOutcome::applied)
      fail("Unknown LUT preset or invalid .cube file: " + name);
  }
  blendFrom(state, before, opacity);
}

}  // namespace

void prepareLookupTables() {
  std::vector<std::pair<std::string, std::function<std::optional<ColorCube>()>>> jobs;
  forEachLut([&](const std::string& name, double) {
    if (!isNamedLook(lowerCased(name))) jobs.emplace_back(cubeFileKey(name), [name] { return cubeData(name); });
  });
  buildCubesAhead(std::move(jobs));
}

void applyLookupTables(RenderState& state) {
  forEachLut([&](const std::string& name, double opacity) { applyOneLut(state, name, opacity); });
}

}  // namespace tonesmith
