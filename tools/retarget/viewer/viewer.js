// The 3D page's player (page.h): the source and the result side by side,
// each as its own meshes when its file has any and as bones otherwise, on a
// floor that follows them; a strip under the frame slider with how far the
// result's body segments point from the source's in each frame.
//
// Everything comes from the page: `start(data)` gets the motion data the
// tool wrote, with each model's GLB bytes in base64. Nothing is fetched.
import * as THREE from "three";
import { GLTFLoader } from "three/examples/jsm/loaders/GLTFLoader.js";
import { OrbitControls } from "three/examples/jsm/controls/OrbitControls.js";
import { VRMLoaderPlugin } from "@pixiv/three-vrm";
import { VRMAnimationLoaderPlugin } from "@pixiv/three-vrm-animation";

// A figure stands 1000 page units tall; the scene is in metres of that.
const UNIT = 0.001;
const BONE_RADIUS = 18;

function bytesOf(base64) {
  const text = atob(base64);
  const bytes = new Uint8Array(text.length);
  for (let i = 0; i < text.length; ++i) bytes[i] = text.charCodeAt(i);
  return bytes;
}

function floatsOf(base64) {
  const bytes = bytesOf(base64);
  return new Float32Array(bytes.buffer, 0, bytes.byteLength / 4);
}

// The model of a figure, loaded and animated by its own animation 0; null
// when it has no mesh.
async function loadModel(figure, fps) {
  const loader = new GLTFLoader();
  loader.register((parser) => new VRMLoaderPlugin(parser));
  loader.register((parser) => new VRMAnimationLoaderPlugin(parser));
  const bytes = bytesOf(figure.model.glb);
  const gltf = await loader.parseAsync(bytes.buffer, "");
  let meshes = 0, skinned = 0;
  gltf.scene.traverse((object) => {
    if (!object.isMesh) return;
    ++meshes;
    if (object.isSkinnedMesh) ++skinned;
    object.frustumCulled = false;
  });
  if (meshes === 0) return null;
  // The file's world into the page's.
  const holder = new THREE.Group();
  holder.matrixAutoUpdate = false;
  holder.matrix.fromArray(figure.model.matrix);
  holder.add(gltf.scene);
  const mixer = new THREE.AnimationMixer(gltf.scene);
  if (gltf.animations.length > 0) mixer.clipAction(gltf.animations[0]).play();
  return {
    holder, meshes, skinned,
    show(frame) { mixer.setTime(frame / fps); },
  };
}

// A figure's bones as capsules between each joint and its parent: a
// cylinder for each bone and a ball at each joint.
function makeBones(figure, joints) {
  const group = new THREE.Group();
  const rod = new THREE.CylinderGeometry(BONE_RADIUS, BONE_RADIUS, 1, 12);
  const ball = new THREE.SphereGeometry(BONE_RADIUS, 12, 8);
  const bones = [], balls = [], materials = [];
  for (let j = 0; j < joints; ++j) {
    const material = new THREE.MeshStandardMaterial({ color: figure.colours[j], roughness: 0.6 });
    materials.push(material);
    const knob = new THREE.Mesh(ball, material);
    group.add(knob);
    balls.push(knob);
    if (figure.parents[j] < 0) continue;
    const mesh = new THREE.Mesh(rod, material);
    group.add(mesh);
    bones.push({ mesh, joint: j, parent: figure.parents[j] });
  }
  const up = new THREE.Vector3(0, 1, 0), a = new THREE.Vector3(), b = new THREE.Vector3(), d = new THREE.Vector3();
  return {
    group, bones,
    show(at) {
      balls.forEach((knob, j) => knob.position.fromArray(at, j * 3));
      for (const bone of bones) {
        a.fromArray(at, bone.parent * 3);
        b.fromArray(at, bone.joint * 3);
        d.subVectors(b, a);
        const length = d.length();
        bone.mesh.visible = length > 1e-6;
        if (!bone.mesh.visible) continue;
        bone.mesh.position.addVectors(a, b).multiplyScalar(0.5);
        bone.mesh.quaternion.setFromUnitVectors(up, d.divideScalar(length));
        bone.mesh.scale.set(1, length, 1);
      }
    },
    overlay(on) {
      for (const material of materials) {
        material.depthTest = !on;
        material.transparent = on;
        material.opacity = on ? 0.7 : 1;
      }
      group.traverse((object) => { object.renderOrder = on ? 1 : 0; });
    },
  };
}

export async function start(data) {
  const root = document.documentElement;
  const fps = data.fps, frames = data.frames;
  const view = document.getElementById("view"), slider = document.getElementById("frame");
  const label = document.getElementById("label"), play = document.getElementById("play");
  const speed = document.getElementById("speed"), strip = document.getElementById("strip");
  const tip = document.getElementById("tip");
  const same = document.getElementById("same"), follow = document.getElementById("follow");
  const overlay = document.getElementById("bones");

  const renderer = new THREE.WebGLRenderer({ canvas: view, antialias: true, preserveDrawingBuffer: true });
  renderer.setPixelRatio(window.devicePixelRatio || 1);
  renderer.outputColorSpace = THREE.SRGBColorSpace;
  const scene = new THREE.Scene();
  scene.background = new THREE.Color(0xf4f4f4);
  scene.add(new THREE.HemisphereLight(0xffffff, 0x8a8a8a, 2.2));
  const sun = new THREE.DirectionalLight(0xffffff, 1.6);
  sun.position.set(2, 4, 3);
  scene.add(sun);
  const camera = new THREE.PerspectiveCamera(35, 1, 0.01, 100);
  const controls = new OrbitControls(camera, view);
  // A bluish grey, told apart from the figures in the tests' pictures.
  const grid = new THREE.GridHelper(8, 32, 0x8fa3c0, 0xc5d2e3);
  scene.add(grid);

  // Each figure: its positions, its bones, its model; the largest first
  // frame height sets the spacing.
  const figures = [];
  let meshes = 0, skinned = 0, boneFigures = 0;
  for (const figure of data.figures) {
    const joints = figure.parents.length;
    const at = floatsOf(figure.at);
    const group = new THREE.Group();
    scene.add(group);
    const bones = makeBones(figure, joints);
    group.add(bones.group);
    let model = null;
    if (figure.model) {
      model = await loadModel(figure, fps);
      if (model) {
        group.add(model.holder);
        meshes += model.meshes;
        skinned += model.skinned;
      }
    }
    if (!model) ++boneFigures;
    bones.group.visible = !model;
    const marks = [];
    for (const ankle of figure.ankles) {
      const mark = new THREE.Mesh(new THREE.SphereGeometry(40, 12, 8),
                                  new THREE.MeshBasicMaterial({ color: 0xd62728, transparent: true, opacity: 0.8 }));
      mark.visible = false;
      group.add(mark);
      marks.push({ mark, ankle });
    }
    figures.push({ figure, joints, at, group, bones, model, marks, height: figure.height });
  }
  root.dataset.frames = String(frames);
  root.dataset.joints = figures.map((f) => f.joints).join(" ");
  root.dataset.meshes = String(meshes);
  root.dataset.skinnedMeshes = String(skinned);
  root.dataset.boneFigures = String(boneFigures);

  // Same height: both a thousand page units tall; otherwise each in its own
  // units, the tallest a thousand.
  const tallest = Math.max(...figures.map((f) => f.height));
  same.checked = data.sameHeight;
  function place() {
    let x = 0;
    for (const f of figures) {
      const size = same.checked ? 1 : f.height / tallest;
      f.group.scale.setScalar(UNIT * size);
      f.group.position.x = x;
      x += 1.0;
    }
  }
  place();

  const quality = data.quality;
  const segments = quality ? quality.segments.length : 0;
  const angles = quality ? floatsOf(quality.angles) : null;
  // The mean over the counted segments of a frame; NaN when none is measured.
  const means = new Float32Array(frames).fill(NaN);
  let worst = 0;
  for (let f = 0; quality && f < frames; ++f) {
    let sum = 0, count = 0;
    for (let s = 0; s < segments; ++s) {
      const angle = angles[f * segments + s];
      if (quality.segments[s].counted && !Number.isNaN(angle)) { sum += angle; ++count; }
    }
    if (count > 0) { means[f] = sum / count; worst = Math.max(worst, means[f]); }
  }

  function drawStrip() {
    const w = strip.clientWidth, h = strip.clientHeight, r = window.devicePixelRatio || 1;
    strip.width = Math.round(w * r);
    strip.height = Math.round(h * r);
    const c = strip.getContext("2d");
    c.setTransform(r, 0, 0, r, 0, 0);
    c.clearRect(0, 0, w, h);
    const top = Math.max(worst, 1);
    for (let f = 0; f < frames; ++f) {
      if (Number.isNaN(means[f])) continue;
      const x0 = (f / frames) * w, x1 = ((f + 1) / frames) * w, t = means[f] / top;
      c.fillStyle = `hsl(${120 - 120 * Math.min(1, means[f] / 20)},70%,45%)`;
      c.fillRect(x0, h - t * h, Math.max(x1 - x0, 1), t * h);
    }
    c.fillStyle = "#222";
    c.fillRect((frame / Math.max(frames, 1)) * w, 0, 1.5, h);
  }

  let frame = 0, playing = frames > 1, clock = 0, last = null;
  const asked = /frame=(\d+)/.exec(location.hash);
  if (asked) { frame = Math.min(Math.max(frames - 1, 0), Number(asked[1])); playing = false; }
  slider.max = String(Math.max(frames - 1, 0));

  // The hips' middle across the floor, in the scene.
  const hips = new THREE.Vector3(), point = new THREE.Vector3();
  function hipsAt() {
    hips.set(0, 0, 0);
    for (const f of figures) {
      point.fromArray(f.at, (frame * f.joints + Math.max(f.figure.hips, 0)) * 3);
      f.group.localToWorld(point);
      hips.add(point);
    }
    return hips.divideScalar(Math.max(figures.length, 1));
  }

  function show() {
    for (const f of figures) {
      const at = f.at.subarray(frame * f.joints * 3, (frame + 1) * f.joints * 3);
      f.bones.show(at);
      if (f.model) f.model.show(frame);
      const down = data.down[frame] || 0;
      f.marks.forEach((m, side) => {
        m.mark.visible = m.ankle >= 0 && (down & (1 << side)) !== 0;
        if (m.mark.visible) m.mark.position.fromArray(at, m.ankle * 3);
      });
    }
    scene.updateMatrixWorld(true);
    const middle = hipsAt();
    grid.position.set(Math.round(middle.x * 4) / 4, 0, Math.round(middle.z * 4) / 4);
    if (follow.checked) {
      const move = new THREE.Vector3(middle.x - controls.target.x, 0, middle.z - controls.target.z);
      controls.target.add(move);
      camera.position.add(move);
    }
    slider.value = String(frame);
    label.textContent = `frame ${frame} / ${frames - 1}` +
        (Number.isNaN(means[frame]) ? "" : `, segments ${means[frame].toFixed(1)}° from the source's`);
    drawStrip();
  }

  function resize() {
    const w = view.clientWidth, h = view.clientHeight;
    renderer.setSize(w, h, false);
    camera.aspect = w / Math.max(h, 1);
    camera.updateProjectionMatrix();
  }

  // The camera: both figures in view from the front and a little to the side.
  {
    scene.updateMatrixWorld(true);
    for (const f of figures) f.bones.show(f.at.subarray(frame * f.joints * 3, (frame + 1) * f.joints * 3));
    const middle = hipsAt().clone();
    controls.target.set(middle.x, 0.5, middle.z);
    camera.position.set(middle.x + 1.2, 1.1, middle.z + 3.2);
    controls.update();
  }

  // Hovering over a bone of the result: that segment's angle in this frame.
  const result = figures[figures.length - 1];
  view.addEventListener("pointermove", (event) => {
    tip.hidden = true;
    if (!quality || !result) return;
    const rect = view.getBoundingClientRect(), x = event.clientX - rect.left, y = event.clientY - rect.top;
    const at = result.at, base = frame * result.joints * 3;
    const screen = (joint) => {
      point.fromArray(at, base + joint * 3);
      result.group.localToWorld(point);
      point.project(camera);
      return [(point.x + 1) / 2 * rect.width, (1 - point.y) / 2 * rect.height];
    };
    let best = -1, nearest = 12;
    quality.segments.forEach((segment, s) => {
      if (segment.from < 0 || segment.to < 0 || Number.isNaN(angles[frame * segments + s])) return;
      const [ax, ay] = screen(segment.from), [bx, by] = screen(segment.to);
      const dx = bx - ax, dy = by - ay, length = dx * dx + dy * dy;
      const t = length > 0 ? Math.min(1, Math.max(0, ((x - ax) * dx + (y - ay) * dy) / length)) : 0;
      const distance = Math.hypot(x - ax - t * dx, y - ay - t * dy);
      if (distance < nearest) { nearest = distance; best = s; }
    });
    if (best < 0) return;
    tip.hidden = false;
    tip.style.left = `${x + 14}px`;
    tip.style.top = `${y + 14}px`;
    tip.textContent = `${quality.segments[best].name}: ${angles[frame * segments + best].toFixed(1)}° from the source's`;
  });
  view.addEventListener("pointerleave", () => { tip.hidden = true; });

  function seek(to) {
    frame = Math.min(Math.max(to, 0), Math.max(frames - 1, 0));
    clock = frame;
    show();
  }
  function toggle() {
    playing = !playing;
    play.textContent = playing ? "Pause" : "Play";
    last = null;
  }
  play.textContent = playing ? "Pause" : "Play";
  play.addEventListener("click", toggle);
  slider.addEventListener("input", () => { playing = false; play.textContent = "Play"; seek(Number(slider.value)); });
  strip.addEventListener("click", (event) => {
    const rect = strip.getBoundingClientRect();
    playing = false;
    play.textContent = "Play";
    seek(Math.floor((event.clientX - rect.left) / rect.width * frames));
  });
  same.addEventListener("change", () => { place(); show(); });
  function showBones() {
    for (const f of figures) {
      f.bones.group.visible = !f.model || overlay.checked;
      f.bones.overlay(Boolean(f.model) && overlay.checked);
    }
  }
  overlay.addEventListener("change", showBones);
  // Meshes that only hang on bones (no skin) rarely make a body: their bones
  // are drawn over them from the start.
  overlay.checked = figures.some((f) => f.model && f.model.skinned === 0);
  showBones();
  window.addEventListener("keydown", (event) => {
    const field = event.target;
    if (field instanceof HTMLSelectElement || (field instanceof HTMLInputElement && field.type !== "checkbox")) return;
    if (event.code === "Space") { event.preventDefault(); toggle(); }
    if (event.code === "ArrowRight" || event.code === "ArrowLeft") {
      event.preventDefault();
      playing = false;
      play.textContent = "Play";
      seek(frame + (event.code === "ArrowRight" ? 1 : -1));
    }
  });
  window.addEventListener("resize", () => { resize(); drawStrip(); });
  window.addEventListener("hashchange", () => {
    const to = /frame=(\d+)/.exec(location.hash);
    if (!to) return;
    playing = false;
    play.textContent = "Play";
    seek(Number(to[1]));
  });

  resize();
  clock = frame;
  show();
  renderer.render(scene, camera);
  root.dataset.ready = "1";
  renderer.setAnimationLoop((time) => {
    if (playing && frames > 1) {
      if (last !== null) clock = (clock + ((time - last) / 1000) * fps * Number(speed.value)) % frames;
      last = time;
      if (Math.floor(clock) !== frame) { frame = Math.floor(clock); show(); }
    } else {
      last = null;
    }
    controls.update();
    renderer.render(scene, camera);
  });
}
