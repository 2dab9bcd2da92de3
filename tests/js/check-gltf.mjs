// Reads a glTF or GLB file with two readers that owe nothing to the tool: the
// Khronos validator and three.js's loader. Prints one JSON object to stdout:
//   validator  - error and warning counts, the first 20 error messages
//   three      - error: null when three.js loaded the file, else its message;
//                warnings: what three.js said on the console meanwhile
//   nodeNames  - the node names as written in the file
//   animation  - index, name and duration of the chosen clip, or null when none
//   frames     - per frame: its time and the world matrix of every node
//                (column-major, null for a node three.js did not create);
//                without an animation, the pose the file rests in
// Usage: node check-gltf.mjs FILE [--animation INDEX] [--frames N --step SECONDS]
import fs from 'node:fs';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import { validateBytes } from 'gltf-validator';
import { AnimationMixer, LoadingManager, LoopOnce, Texture } from 'three';
import { GLTFLoader } from 'three/addons/loaders/GLTFLoader.js';

function usage(why) {
  console.error(`check-gltf: ${why}`);
  console.error('usage: node check-gltf.mjs FILE [--animation INDEX] [--frames N --step SECONDS]');
  process.exit(2);
}

function parseArgs(argv) {
  const args = { file: null, animation: 0, frames: null, step: null };
  for (let i = 0; i < argv.length; i++) {
    const flag = argv[i];
    if (flag === '--animation' || flag === '--frames' || flag === '--step') {
      const value = Number(argv[++i]);
      const whole = flag !== '--step';
      if (!Number.isFinite(value) || value < 0 || (whole && !Number.isInteger(value))) {
        usage(`${flag} needs ${whole ? 'a whole number' : 'a number'} of 0 or more`);
      }
      args[flag.slice(2)] = value;
    } else if (args.file === null && !flag.startsWith('--')) {
      args.file = flag;
    } else {
      usage(`unexpected argument ${flag}`);
    }
  }
  if (args.file === null) usage('no file given');
  if ((args.frames === null) !== (args.step === null)) usage('--frames and --step go together');
  if (!fs.statSync(args.file, { throwIfNoEntry: false })?.isFile()) usage(`no such file: ${args.file}`);
  return args;
}

async function validate(bytes, file) {
  const report = await validateBytes(new Uint8Array(bytes), {
    uri: path.basename(file),
    maxIssues: 0, // unlimited, so the counts are exact
    writeTimestamp: false,
    // A relative URI is looked up beside the file; data: URIs the validator reads itself.
    externalResourceFunction: async (uri) =>
      new Uint8Array(await fs.promises.readFile(path.resolve(path.dirname(file), decodeURIComponent(uri)))),
  });
  const errors = report.issues.messages.filter((m) => m.severity === 0);
  return {
    errors: report.issues.numErrors,
    warnings: report.issues.numWarnings,
    messages: errors.slice(0, 20).map((m) => `${m.code} at ${m.pointer ?? `byte ${m.offset}`}: ${m.message}`),
  };
}

// Node has no image decoder, so textures are stood in for by empty ones rather
// than letting the loader fail on every image.
const skipImages = () => ({ name: 'skip-images', loadTexture: () => Promise.resolve(new Texture()) });

// Node's fetch reads data: URIs but not files, so a buffer beside the file is
// handed to the loader as a data: URI.
function fileAsDataURI(url) {
  if (!url.startsWith('file:')) return url;
  try {
    return 'data:application/octet-stream;base64,' + fs.readFileSync(fileURLToPath(url)).toString('base64');
  } catch {
    return url; // the loader then reports the buffer it could not load
  }
}

function loadWithThree(bytes, file) {
  // The loader reaches for browser globals: through self, and a progress event
  // while it reads a buffer.
  globalThis.self = globalThis;
  globalThis.ProgressEvent ??= class ProgressEvent extends Event {
    constructor(type, init = {}) {
      super(type);
      Object.assign(this, init);
    }
  };
  const manager = new LoadingManager();
  manager.setURLModifier(fileAsDataURI);
  const loader = new GLTFLoader(manager).register(skipImages);
  const buffer = bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.byteLength);
  const resourcePath = pathToFileURL(path.dirname(path.resolve(file))).href + '/';
  return new Promise((resolve, reject) => loader.parse(buffer, resourcePath, resolve, reject));
}

// The world matrix of every glTF node, indexed as in the file.
function worldMatrices(gltf, nodeCount) {
  gltf.scene.updateMatrixWorld(true);
  const nodes = new Array(nodeCount).fill(null);
  gltf.scene.traverse((object) => {
    const index = gltf.parser.associations.get(object)?.nodes;
    if (index !== undefined) nodes[index] = Array.from(object.matrixWorld.elements);
  });
  return nodes;
}

function sampleFrames(gltf, args, nodeCount) {
  const clip = gltf.animations[args.animation];
  const count = args.frames ?? 1;
  const step = args.step ?? 0;
  const frames = [];
  if (!clip) {
    const rest = worldMatrices(gltf, nodeCount);
    for (let k = 0; k < count; k++) frames.push({ time: k * step, nodes: rest });
    return frames;
  }
  const mixer = new AnimationMixer(gltf.scene);
  // Play once and hold the last pose, so a frame at exactly the duration shows
  // the end of the clip rather than wrapping round to its start.
  const action = mixer.clipAction(clip).setLoop(LoopOnce, 1);
  action.clampWhenFinished = true;
  for (let k = 0; k < count; k++) {
    const time = k * step;
    action.reset().play(); // a clamped action pauses itself; start it afresh
    mixer.setTime(time);
    frames.push({ time, nodes: worldMatrices(gltf, nodeCount) });
  }
  return frames;
}

const args = parseArgs(process.argv.slice(2));
const result = { validator: null, three: { error: null, warnings: [] }, nodeNames: [], animation: null, frames: [] };
let threeDone = false;

// The JSON is written as the process ends, so it comes out even when the
// loader throws from a callback of its own or never settles.
process.on('uncaughtException', (error) => {
  result.three.error ??= String(error?.message ?? error);
  process.exit(0);
});
// Written synchronously: what an exit handler writes to a pipe
// asynchronously is cut short. A pipe that is full makes writeSync throw
// EAGAIN; then it is tried again.
process.on('exit', () => {
  if (!threeDone) result.three.error ??= 'three.js never finished loading';
  const text = Buffer.from(JSON.stringify(result) + '\n');
  for (let done = 0; done < text.length; ) {
    try {
      done += fs.writeSync(1, text, done);
    } catch (error) {
      if (error.code !== 'EAGAIN') throw error;
    }
  }
});

async function main() {
  const bytes = fs.readFileSync(args.file);
  try {
    result.validator = await validate(bytes, args.file);
  } catch (error) {
    // The validator rejects only when it cannot tell the format at all.
    result.validator = { errors: 1, warnings: 0, messages: [`UNREADABLE at /: ${error}`] };
  }

  // Whatever three.js says goes into the result, and stdout stays one JSON object.
  const said = (...parts) => result.three.warnings.push(parts.map(String).join(' '));
  console.log = console.info = console.warn = console.error = said;

  try {
    const gltf = await loadWithThree(bytes, args.file);
    const json = gltf.parser.json;
    result.nodeNames = (json.nodes ?? []).map((node) => node.name ?? null);
    const clip = gltf.animations[args.animation];
    if (clip) {
      const name = json.animations[args.animation].name ?? null;
      result.animation = { index: args.animation, name, duration: clip.duration };
    }
    result.frames = sampleFrames(gltf, args, result.nodeNames.length);
  } catch (error) {
    result.three.error = String(error?.message ?? error);
  }
  threeDone = true;
}

main();
