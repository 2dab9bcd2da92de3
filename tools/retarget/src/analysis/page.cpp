#include "norvo/retarget/analysis/page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>
#include <optional>
#include <span>

#include "norvo/retarget/solve/align.h"
#include "norvo/retarget/solve/feet.h"
#include "norvo/retarget/analysis/svg.h"
#include "norvo/retarget/base/textfile.h"
#include "norvo/retarget/io/formats.h"
#include "norvo/retarget/io/gltf.h"
#include "norvo/retarget/rig/landmarks.h"

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

// Per frame, which of the source's feet are down: bit 0 the left, bit 1 the
// right.
void AppendDown(std::string& out, const PageInput& in) {
  for (std::int64_t f = 0; f < in.count; ++f) {
    int down = 0;
    for (int side = 0; side < 2 && in.contacts; ++side) down |= in.contacts->Down(side, f) ? 1 << side : 0;
    out += (f ? "," : "") + std::to_string(down);
  }
}

// A figure's title, its joints' parents and colours, and its ankles.
void AppendSkeleton(std::string& out, const PageFigure& figure) {
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
         std::to_string(rig.FirstJoint("RightFoot")) + "]";
}

void AppendFigure(std::string& out, const PageFigure& figure, std::int64_t count, const Frame3& axes, double offset) {
  const std::size_t n = figure.rig->skeleton.joints.size();
  AppendSkeleton(out, figure);
  out += ",\"at\":[";
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

// Where each figure stands on the page: a thousand page units tall on the
// page's floor, its hips over the page's origin in its first frame, so that
// a target of another size or in other units is seen beside the source.
std::pair<Frame3, Frame3> Placements(const PageInput& in) {
  Frame3 axes;
  axes.up = Length(in.up) > 0.5 ? in.up : Vector{0, 1, 0};
  const FigureView view = ViewOf(*in.source.rig);
  axes.left = Subtract(view.left, Scale(axes.up, Dot(view.left, axes.up)));
  if (!(Length(axes.left) > 1e-6)) axes.left = Across(Vector{1, 0, 0}, axes.up);
  if (!(Length(axes.left) > 1e-6)) axes.left = Across(Vector{0, 0, 1}, axes.up);
  axes.left = Scale(axes.left, 1.0 / Length(axes.left));
  axes.front = Cross(axes.left, axes.up);
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
    if (in.count > 0 && !globals.empty()) {
      FrameGlobals(*figure.clip, figure.first, globals);
      own.x0 = Dot(globals[std::size_t(hips)].off, own.left);
      own.z0 = Dot(globals[std::size_t(hips)].off, own.front);
    }
    return own;
  };
  return {placed(in.source, in.contacts ? in.contacts->floor : 0.0), placed(in.result, in.floor)};
}

// The 3D page: the player's frame, then the motion data, the viewer's
// gzipped script in base64 and the few lines that unpack and start it.
constexpr const char* kSolidHead = R"page(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>norvo-retarget</title>
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; img-src data: blob:; connect-src data: blob:">
<style>
body{margin:0;font:13px sans-serif;background:#fafafa;color:#222;overflow:hidden}
#bar{display:flex;gap:10px;align-items:center;padding:6px 10px;height:28px;white-space:nowrap}
#frame{flex:1;min-width:80px}
#strip{display:block;width:calc(100vw - 20px);height:24px;margin:0 10px 4px;cursor:pointer;background:#ececec}
#view{display:block;width:100vw;height:calc(100vh - 68px);cursor:grab;touch-action:none}
#tip{position:fixed;background:#222;color:#fff;padding:3px 6px;border-radius:3px;pointer-events:none}
</style></head>
<body><div id="bar"><button id="play">Pause</button><input id="frame" type="range" min="0" value="0">
<span id="label"></span><label>speed <select id="speed"><option>0.25</option><option>0.5</option>
<option selected>1</option><option>2</option></select></label>
<label title="both figures as tall"><input type="checkbox" id="same">same height</label>
<label title="the camera follows the hips"><input type="checkbox" id="follow">follow</label>
<label title="the bones over the meshes"><input type="checkbox" id="bones">bones</label></div>
<canvas id="strip" title="per frame: how far the result's body segments point from the source's (click to go there)"></canvas>
<canvas id="view"></canvas><div id="tip" hidden></div>
)page";

constexpr const char* kSolidStart = R"page(<script>
"use strict";
(async function () {
  const root = document.documentElement;
  const fail = (why) => { if (!root.dataset.loadError) root.dataset.loadError = String(why); };
  window.addEventListener("error", (e) => fail(e.message));
  window.addEventListener("unhandledrejection", (e) => fail(e.reason && e.reason.message || e.reason));
  document.addEventListener("securitypolicyviolation", (e) => fail("blocked: " + e.blockedURI));
  try {
    const text = atob(document.getElementById("viewer").textContent.trim());
    const bytes = new Uint8Array(text.length);
    for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i);
    const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream("gzip"));
    const script = document.createElement("script");
    script.textContent = await new Response(stream).text();
    document.head.appendChild(script);
    await NorvoViewer.start(JSON.parse(document.getElementById("motion").textContent));
  } catch (e) {
    fail(e && e.message || e);
  }
})();
</script></body></html>
)page";

struct Viewer {
  std::string script, licences;
  std::string why = "the 3D viewer was not built with this tool";
};

Viewer& TheViewer() {
  static Viewer viewer;
  return viewer;
}

// `values` as the base64 of their float32 bytes (little-endian, as every
// machine the page runs on reads them).
std::string FloatsText(const std::vector<float>& values) {
  return Base64(std::string_view(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(float)));
}

// A figure's positions in page units, each frame's joints after the last's.
std::string PositionsText(const PageFigure& figure, std::int64_t count, const Frame3& axes) {
  const std::size_t n = figure.rig->skeleton.joints.size();
  std::vector<float> at;
  at.reserve(std::size_t(count) * n * 3);
  std::vector<Matrix> globals(n);
  for (std::int64_t f = 0; f < count; ++f) {
    FrameGlobals(*figure.clip, figure.first + f, globals);
    for (std::size_t j = 0; j < n; ++j) {
      const Vector& p = globals[j].off;
      for (const double value : {(Dot(p, axes.left) - axes.x0) / axes.unit, (Dot(p, axes.up) - axes.floor) / axes.unit,
                                 (Dot(p, axes.front) - axes.z0) / axes.unit})
        at.push_back(float(std::isfinite(value) ? std::clamp(value, -1e9, 1e9) : 0.0));
    }
  }
  return FloatsText(at);
}

// The figure's model as GLB bytes in base64 with the matrix that takes its
// file's world onto the page; "null" when it has no model with meshes.
Outcome<std::string> ModelText(const PageFigure& figure, std::int64_t count, const Frame3& axes) {
  if (!figure.model || !figure.model->skeleton.format.model) return std::string("null");
  const GltfModel& model = *figure.model->skeleton.format.model;
  if (model.json.find("\"meshes\"") == std::string::npos) return std::string("null");
  RETARGET_ASSIGN(const Motion frames, Frames(*figure.model, figure.first, figure.first + count));
  const MotionContext context{figure.rig, "norvo"};
  RETARGET_ASSIGN(const std::string glb, model.vrm ? FormatVrm(frames, context) : FormatGlb(frames, context));
  // page = (axes . toClip p - origin) / unit, per row.
  const Matrix& r = figure.toClip;
  const Vector rows[3] = {axes.left, axes.up, axes.front};
  const double origins[3] = {axes.x0, axes.floor, axes.z0};
  double m[16] = {};
  for (int row = 0; row < 3; ++row) {
    const Vector a = TransformVector(Transposed(r), rows[row]);
    const double column[3] = {a.x, a.y, a.z};
    for (int c = 0; c < 3; ++c) m[c * 4 + row] = column[c] / axes.unit;
    m[12 + row] = -origins[row] / axes.unit;
  }
  m[15] = 1;
  std::string out = "{\"matrix\":[";
  char number[32];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(number, sizeof number, "%s%.9g", i ? "," : "", m[i]);
    out += number;
  }
  return out + "],\"glb\":\"" + Base64(glb) + "\"}";
}

Outcome<std::string> SolidFigure(const PageFigure& figure, std::int64_t count, const Frame3& axes) {
  std::string out;
  AppendSkeleton(out, figure);
  out += ",\"hips\":" + std::to_string(figure.rig->FirstJoint("Hips"));
  char number[32];
  std::snprintf(number, sizeof number, "%.9g", axes.unit * 1000.0);
  out += ",\"height\":" + std::string(number) + ",\"at\":\"" + PositionsText(figure, count, axes) + "\",\"model\":";
  RETARGET_ASSIGN(const std::string model, ModelText(figure, count, axes));
  return out + model + "}";
}

// The result's segments (their ends among its joints) and their angles.
std::string QualityText(const PageInput& in) {
  if (in.angles.size() != std::size_t(in.count) * kSegments) return "null";
  const Rig& rig = *in.result.rig;
  const Landmarks marks = FindLandmarks(rig);
  auto joint = [&](Mark mark) { return mark == Mark::PelvisMiddle ? rig.FirstJoint("Hips") : marks[mark].joint; };
  std::string out = "{\"segments\":[";
  const std::span<const Segment, kSegments> segments = Segments();
  for (std::size_t s = 0; s < kSegments; ++s) {
    out += s ? ",{\"name\":" : "{\"name\":";
    AppendText(out, std::string(segments[s].name));
    out += std::string(",\"counted\":") + (segments[s].counted ? "true" : "false") +
           ",\"from\":" + std::to_string(joint(segments[s].from)) + ",\"to\":" + std::to_string(joint(segments[s].to)) +
           "}";
  }
  return out + "],\"angles\":\"" + FloatsText(in.angles) + "\"}";
}

// The 3D page, or nothing when the viewer cannot be read (`why` says why).
Outcome<std::optional<std::string>> SolidPage(const PageInput& in, const Frame3& sourceAxes, const Frame3& resultAxes,
                                              std::string& why) {
  const Viewer& viewer = TheViewer();
  if (viewer.script.empty()) {
    why = viewer.why;
    return std::optional<std::string>();
  }
  const Outcome<std::string> script = ReadFileBytes(viewer.script, std::int64_t(1) << 26, "viewer's script");
  const Outcome<std::string> licences = ReadTextFile(viewer.licences, std::int64_t(1) << 20, "viewer's licences");
  if (!script || !licences) {
    if ((!script && script.failure().kind == FailureKind::OutOfMemory) ||
        (!licences && licences.failure().kind == FailureKind::OutOfMemory))
      return OutOfMemory();
    why = "the 3D viewer's files cannot be read: " + (!script ? script.failure() : licences.failure()).Text();
    return std::optional<std::string>();
  }
  std::string out = kSolidHead;
  // The licences of the packages in the viewer's script; "--" would end
  // the comment.
  std::string notice = licences.value();
  for (std::size_t at = notice.find("--"); at != std::string::npos; at = notice.find("--", at + 2))
    notice.replace(at, 2, "- -");
  out += "<!-- The viewer's script holds these packages:\n\n" + notice + "-->\n";
  char number[64];
  const double frameTime = in.source.clip->frameTime;
  std::snprintf(number, sizeof number, "%.9g", frameTime > 0 ? 1.0 / frameTime : 30.0);
  const double heights[2] = {sourceAxes.unit, resultAxes.unit};
  const bool apart = std::max(heights[0], heights[1]) > 3.0 * std::min(heights[0], heights[1]);
  out += "<script type=\"application/json\" id=\"motion\">{\"frames\":" + std::to_string(in.count) +
         ",\"fps\":" + number + ",\"sameHeight\":" + (apart ? "true" : "false") + ",\"down\":[";
  AppendDown(out, in);
  out += "],\"quality\":" + QualityText(in) + ",\"figures\":[";
  RETARGET_ASSIGN(const std::string source, SolidFigure(in.source, in.count, sourceAxes));
  RETARGET_ASSIGN(const std::string result, SolidFigure(in.result, in.count, resultAxes));
  out += source + "," + result + "]}</script>\n<script type=\"text/plain\" id=\"viewer\">" + Base64(script.value()) +
         "</script>\n" + kSolidStart;
  return std::optional<std::string>(std::move(out));
}

// The 2D page.
std::string FlatPage(const PageInput& in, const Frame3& sourceAxes, const Frame3& resultAxes) {
  std::string out = kHead;
  char number[64];
  const double frameTime = in.source.clip->frameTime;
  std::snprintf(number, sizeof number, "%.6g", frameTime > 0 ? 1.0 / frameTime : 30.0);
  out += "{\"frames\":" + std::to_string(in.count) + ",\"fps\":" + number + ",\"height\":1000,";
  out += "\"down\":[";
  AppendDown(out, in);
  out += "],\"figures\":[";
  AppendFigure(out, in.source, in.count, sourceAxes, 0.0);
  out += ",";
  AppendFigure(out, in.result, in.count, resultAxes, 800.0);
  out += "]}";
  out += kTail;
  return out;
}

}  // namespace

void SetViewer(std::string script, std::string licences, std::string why) {
  TheViewer() = {std::move(script), std::move(licences), std::move(why)};
}

Outcome<Page> WatchPage(const PageInput& input) {
  try {
    PageInput in = input;
    in.count = std::max<std::int64_t>(0, std::min({in.count, in.source.clip->FrameCount() - in.source.first,
                                                   in.result.clip->FrameCount() - in.result.first}));
    const auto [sourceAxes, resultAxes] = Placements(in);
    Page page;
    RETARGET_ASSIGN(const std::optional<std::string> solid, SolidPage(in, sourceAxes, resultAxes, page.why));
    page.threeD = solid.has_value();
    page.text = solid ? *solid : FlatPage(in, sourceAxes, resultAxes);
    page.bytes = page.text.size();
    return page;
  } catch (const std::bad_alloc&) {
    return OutOfMemory();
  }
}

Outcome<Page> WriteWatchPage(const PageInput& input, const std::string& path) {
  RETARGET_ASSIGN(Page page, WatchPage(input));
  RETARGET_TRY(WriteTextFile(path, page.text, "page"));
  page.text = std::string();
  return page;
}

}  // namespace norvo::retarget
