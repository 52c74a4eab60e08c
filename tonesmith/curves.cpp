// User tone curves: the master curve for all channels and one curve for
// each of red, green and blue, baked into one 32-point colour cube.
#include <algorithm>

#include "colour.h"
#include "tonesmith.h"

namespace tonesmith {

bool isArrayOfObjects(const std::optional<json::Value>& value) {
  if (!value || !value->is_array()) return false;
  return std::all_of(value->begin(), value->end(), [](const json::Value& v) { return v.is_object(); });
}

double ToneCurve::operator()(double t) const {
  for (std::size_t k = 1; k < points.size(); ++k) {
    if (t <= points[k].first) {
      auto [x0, y0] = points[k - 1];
      auto [x1, y1] = points[k];
      return clamp(y0 + (y1 - y0) * (t - x0) / std::max(x1 - x0, 0.000001), 0, 1);
    }
  }
  return points.back().second;
}

std::optional<ToneCurve> toneCurveSampler(const json::Value& points) {
  ToneCurve curve;
  if (points.is_array())
    for (const auto& p : points) {
      if (!p.is_object()) continue;
      auto x = p.find("x"), y = p.find("y");
      if (x == p.end() || y == p.end() || !x->is_number() || !y->is_number()) continue;
      curve.points.emplace_back(clamp(x->get<double>(), 0, 1), clamp(y->get<double>(), 0, 1));
    }
  std::stable_sort(curve.points.begin(), curve.points.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  if (curve.points.size() < 2) return std::nullopt;
  return curve;
}

std::vector<std::pair<std::string, json::Value>> channelCurvePoints(const std::optional<json::Value>& json) {
  std::vector<std::pair<std::string, json::Value>> out;
  if (!json || !json->is_object()) return out;
  for (const char* name : {"red", "green", "blue"}) {
    auto it = json->find(name);
    if (it != json->end() && isArrayOfObjects(*it)) out.emplace_back(name, *it);
  }
  return out;
}

void applyToneCurves(RenderState& state, const std::optional<json::Value>& masterPoints,
                     const std::optional<json::Value>& channelPoints) {
  std::optional<ToneCurve> master;
  if (isArrayOfObjects(masterPoints)) master = toneCurveSampler(*masterPoints);
  std::optional<ToneCurve> channel[3];
  for (const auto& [name, points] : channelCurvePoints(channelPoints)) {
    int c = name == "red" ? 0 : name == "green" ? 1 : 2;
    channel[c] = toneCurveSampler(points);
  }
  if (!master && !channel[0] && !channel[1] && !channel[2]) return;
  // Each output channel depends on its own input only: one curve per axis.
  double curve[3][32];
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 32; ++i) {
      double v = i / 31.0;
      if (master) v = (*master)(v);
      if (channel[c]) v = (*channel[c])(v);
      curve[c][i] = v;
    }
  ColorCube cube = makeColorCube(32, [&](int i, int j, int k) {
    return std::array<double, 3>{curve[0][i], curve[1][j], curve[2][k]};
  });
  applyColorCube(state, cube);
}

}  // namespace tonesmith
