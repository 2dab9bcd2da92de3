#include "norvo/retarget/analysis/page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "norvo/retarget/solve/align.h"
#include "norvo/retarget/solve/feet.h"
#include "norvo/retarget/analysis/svg.h"
#include "norvo/retarget/base/textfile.h"

namespace norvo::retarget {

namespace {

// The player: plain script on a 2D canvas, nothing fetched.
constexpr const char* kHead = R"page(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>norvo-retarget</title>
<style>
body{margin:0;font:13px sans-serif;background:#fafafa;color:#222}
#bar{display:flex;gap:8px;align-items:center;padding:6px 10px;height:28px}
#frame{flex:1}
canvas{display:block;width:100vw;height:calc(100vh - 40px);cursor:grab}
</style></head>
<body><div id="bar"><button id="play">Pause</button><input id="frame" type="range" min="0" value="0">
<span id="label"></span><label>speed <select id="speed"><option>0.25</option><option>0.5</option>
<option selected>1</option><option>2</option></select></label></div><canvas id="view"></canvas>
<script type="application/json" id="motion">)page";

constexpr const char* kTail = R"page(</script>
<script>
"use strict";
(function () {
  const body = document.body;
  window.addEventListener("error", (e) => { body.dataset.error = String(e.message); });
  const data = JSON.parse(document.getElementById("motion").textContent);
  const canvas = document.getElementById("view"), ctx = canvas.getContext("2d");
  const slider = document.getElementById("frame"), label = document.getElementById("label");
  const play = document.getElementById("play"), speed = document.getElementById("speed");
  slider.max = String(data.frames - 1);
  let frame = 0, playing = data.frames > 1, yaw = -0.6, pitch = 0.3, zoom = 1, last = null, clock = 0;
  const asked = /frame=(\d+)/.exec(location.hash);
  if (asked) { frame = Math.min(data.frames - 1, Number(asked[1])); playing = false; }
  const H = data.height;
  let cx = 0, cz = 0;  // the camera follows the figures across the floor
  function project(p, w, h) {
    const x = p[0] - cx, y = p[1] - H / 2, z = p[2] - cz;
    const cy = Math.cos(yaw), sy = Math.sin(yaw), cp = Math.cos(pitch), sp = Math.sin(pitch);
    const x1 = cy * x + sy * z, z1 = -sy * x + cy * z;
    const y2 = cp * y - sp * z1, z2 = sp * y + cp * z1;
    const d = 5 * H, s = (zoom * 0.45 * Math.min(w, h) / H) * (d / Math.max(d + z2, 0.1 * d));
    return [w / 2 + x1 * s, h / 2 - y2 * s];
  }
  function line(a, b, w, h) {
    const p = project(a, w, h), q = project(b, w, h);
    ctx.beginPath(); ctx.moveTo(p[0], p[1]); ctx.lineTo(q[0], q[1]); ctx.stroke();
  }
  function draw() {
    const w = canvas.clientWidth, h = canvas.clientHeight, r = window.devicePixelRatio || 1;
    canvas.width = Math.round(w * r); canvas.height = Math.round(h * r);
    ctx.setTransform(r, 0, 0, r, 0, 0);
    ctx.clearRect(0, 0, w, h);
    cx = 0; cz = 0;
    for (const f of data.figures) {
      const base = frame * f.parents.length * 3;
      cx += f.at[base] / data.figures.length; cz += f.at[base + 2] / data.figures.length;
    }
    ctx.strokeStyle = "#d8d8d8"; ctx.lineWidth = 1;
    const step = H / 4, gx = Math.round(cx / step) * step, gz = Math.round(cz / step) * step;
    for (let i = -8; i <= 8; ++i) {
      line([gx - 2 * H, 0, gz + i * step], [gx + 2 * H, 0, gz + i * step], w, h);
      line([gx + i * step, 0, gz - 2 * H], [gx + i * step, 0, gz + 2 * H], w, h);
    }
    const down = data.down[frame] || 0;
    for (const figure of data.figures) {
      const n = figure.parents.length, at = figure.at, base = frame * n * 3;
      const point = (j) => [at[base + 3 * j], at[base + 3 * j + 1], at[base + 3 * j + 2]];
      ctx.lineWidth = 3; ctx.lineCap = "round";
      for (let j = 0; j < n; ++j) {
        if (figure.parents[j] < 0) continue;
        ctx.strokeStyle = figure.colours[j];
        line(point(figure.parents[j]), point(j), w, h);
      }
      figure.ankles.forEach((ankle, side) => {
        if (ankle < 0 || !(down & (1 << side))) return;
        const p = project(point(ankle), w, h);
        ctx.fillStyle = "#e0301e"; ctx.beginPath(); ctx.arc(p[0], p[1], 5, 0, 2 * Math.PI); ctx.fill();
      });
      let high = 0;
      for (let j = 0; j < n; ++j) high = Math.max(high, at[base + 3 * j + 1]);
      const top = project([at[base], high + H / 12, at[base + 2]], w, h);
      ctx.fillStyle = "#222"; ctx.textAlign = "center"; ctx.fillText(figure.title, top[0], top[1]);
    }
    slider.value = String(frame);
    label.textContent = "frame " + frame + " of " + data.frames + (down ? "  (planted: red)" : "");
    play.textContent = playing ? "Pause" : "Play";
    body.dataset.frames = String(data.frames);
    body.dataset.joints = data.figures.map((f) => f.parents.length).join(" ");
  }
  function tick(t) {
    if (playing) {
      if (last !== null) {
        clock += ((t - last) / 1000) * data.fps * Number(speed.value);
        const steps = Math.floor(clock);
        if (steps > 0) { frame = (frame + steps) % data.frames; clock -= steps; draw(); }
      }
      last = t;
    } else {
      last = null;
    }
    requestAnimationFrame(tick);
  }
  play.addEventListener("click", () => { playing = !playing; draw(); });
  slider.addEventListener("input", () => { frame = Number(slider.value); playing = false; draw(); });
  let dragging = null;
  canvas.addEventListener("pointerdown", (e) => { dragging = [e.clientX, e.clientY]; });
  window.addEventListener("pointerup", () => { dragging = null; });
  window.addEventListener("pointermove", (e) => {
    if (!dragging) return;
    yaw += (e.clientX - dragging[0]) * 0.01;
    pitch = Math.max(-1.4, Math.min(1.4, pitch + (e.clientY - dragging[1]) * 0.01));
    dragging = [e.clientX, e.clientY];
    draw();
  });
  canvas.addEventListener("wheel", (e) => { e.preventDefault(); zoom *= Math.exp(-e.deltaY * 0.001); draw(); },
                          { passive: false });
  window.addEventListener("resize", draw);
  window.addEventListener("hashchange", () => location.reload());
  draw();
  requestAnimationFrame(tick);
})();
</script></body></html>
)page";

// A JSON string that is safe inside a script element.
void AppendText(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      (out += '\\') += c;
    } else if (byte < 0x20 || c == '<' || c == '>' || c == '&') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

struct Frame3 {
  Vector left, up, front;
  double floor = 0, unit = 1;  // heights from the floor, in page units
  double x0 = 0, z0 = 0;       // the source's hips in its first frame, across the up axis
};

void AppendFigure(std::string& out, const PageFigure& figure, std::int64_t count, const Frame3& axes, double offset) {
  const Rig& rig = *figure.rig;
  const FigureView view = ViewOf(rig);
  const std::size_t n = rig.skeleton.joints.size();
  out += "{\"title\":";
  AppendText(out, figure.title);
  out += ",\"parents\":[";
  for (std::size_t j = 0; j < n; ++j) out += (j ? "," : "") + std::to_string(rig.skeleton.joints[j].parent);
  out += "],\"colours\":[";
  for (std::size_t j = 0; j < n; ++j) (((out += j ? ",\"" : "\"") += BodyPartColour(view.partOf[j])) += '"');
  out += "],\"ankles\":[" + std::to_string(rig.FirstJoint("LeftFoot")) + "," +
         std::to_string(rig.FirstJoint("RightFoot")) + "],\"at\":[";
  std::vector<Matrix> globals(n);
  bool first = true;
  for (std::int64_t f = 0; f < count; ++f) {
    FrameGlobals(*figure.clip, figure.first + f, globals);
    for (std::size_t j = 0; j < n; ++j) {
      const Vector& p = globals[j].off;
      const double x = (Dot(p, axes.left) - axes.x0) / axes.unit + offset;
      const double y = (Dot(p, axes.up) - axes.floor) / axes.unit;
      const double z = (Dot(p, axes.front) - axes.z0) / axes.unit;
      for (const double value : {x, y, z}) {
        if (!first) out += ',';
        first = false;
        out += std::to_string(std::llround(std::isfinite(value) ? std::clamp(value, -1e9, 1e9) : 0.0));
      }
    }
  }
  out += "]}";
}

}  // namespace

Outcome<std::string> WatchPageHtml(const PageFigure& source, const PageFigure& result, std::int64_t count,
                                   const Vector& up, double floor, const FootContacts* contacts) {
  try {
    count = std::max<std::int64_t>(
        0, std::min({count, source.clip->FrameCount() - source.first, result.clip->FrameCount() - result.first}));
    Frame3 axes;
    axes.up = Length(up) > 0.5 ? up : Vector{0, 1, 0};
    const FigureView view = ViewOf(*source.rig);
    axes.left = Subtract(view.left, Scale(axes.up, Dot(view.left, axes.up)));
    if (!(Length(axes.left) > 1e-6)) axes.left = Across(Vector{1, 0, 0}, axes.up);
    if (!(Length(axes.left) > 1e-6)) axes.left = Across(Vector{0, 0, 1}, axes.up);
    axes.left = Scale(axes.left, 1.0 / Length(axes.left));
    axes.front = Cross(axes.left, axes.up);
    // Each figure stands a thousand page units tall on the page's floor, its
    // hips over the page's origin in its first frame, so that a target of
    // another size or in other units is seen beside the source.
    auto placed = [&](const PageFigure& figure, double ground) {
      Frame3 own = axes;
      own.floor = ground;
      // Measured along the rig's own up: the result's frames are rotated as
      // the source's until they are written, its rest pose is not.
      const Vector standing = StandingUp(*figure.rig, figure.rig->restGlobals);
      double low = 0, high = 0;
      for (std::size_t j = 0; j < figure.rig->restGlobals.size(); ++j) {
        const double h = Dot(figure.rig->restGlobals[j].off, Length(standing) > 0.5 ? standing : own.up);
        low = j ? std::min(low, h) : h;
        high = j ? std::max(high, h) : h;
      }
      own.unit = high - low > 1e-9 ? (high - low) / 1000.0 : 1.0;
      const std::int64_t hips = std::max<std::int64_t>(0, figure.rig->FirstJoint("Hips"));
      std::vector<Matrix> globals(figure.rig->skeleton.joints.size());
      if (count > 0 && !globals.empty()) {
        FrameGlobals(*figure.clip, figure.first, globals);
        own.x0 = Dot(globals[std::size_t(hips)].off, own.left);
        own.z0 = Dot(globals[std::size_t(hips)].off, own.front);
      }
      return own;
    };
    const Frame3 sourceAxes = placed(source, contacts ? contacts->floor : 0.0), resultAxes = placed(result, floor);

    std::string out = kHead;
    char number[64];
    std::snprintf(number, sizeof number, "%.6g", source.clip->frameTime > 0 ? 1.0 / source.clip->frameTime : 30.0);
    out += "{\"frames\":" + std::to_string(count) + ",\"fps\":" + number + ",\"height\":1000,";
    out += "\"down\":[";
    for (std::int64_t f = 0; f < count; ++f) {
      int down = 0;
      for (int side = 0; side < 2 && contacts; ++side) down |= contacts->Down(side, f) ? 1 << side : 0;
      out += (f ? "," : "") + std::to_string(down);
    }
    out += "],\"figures\":[";
    AppendFigure(out, source, count, sourceAxes, 0.0);
    out += ",";
    AppendFigure(out, result, count, resultAxes, 800.0);
    out += "]}";
    out += kTail;
    return out;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<void> WriteWatchPage(const PageFigure& source, const PageFigure& result, std::int64_t count, const Vector& up,
                             double floor, const FootContacts* contacts, const std::string& path) {
  RETARGET_ASSIGN(const std::string text, WatchPageHtml(source, result, count, up, floor, contacts));
  return WriteTextFile(path, text, "page");
}

}  // namespace norvo::retarget
