// Bundles viewer.js with the packages it imports into one minified script
// that sets the global NorvoViewer, gzipped, and writes the licences of the
// packages bundled into it beside it.
//   node build.mjs VIEWER_JS OUT_DIR   (run where node_modules is)
import { build } from "esbuild";
import { gzipSync } from "node:zlib";
import { readFileSync, writeFileSync, readdirSync } from "node:fs";
import { join, resolve } from "node:path";

const [entry, out] = process.argv.slice(2);
const result = await build({
  entryPoints: [entry],
  bundle: true,
  minify: true,
  format: "iife",
  globalName: "NorvoViewer",
  target: "es2020",
  legalComments: "none",
  write: false,
  metafile: true,
  logLevel: "warning",
  nodePaths: [resolve("node_modules")],
});
const code = result.outputFiles[0].contents;
writeFileSync(join(out, "norvo-viewer.js.gz"), gzipSync(code, { level: 9 }));
// The packages whose code went in, each with its licence.
const packages = new Set();
for (const input of Object.keys(result.metafile.inputs)) {
  const match = /node_modules\/((?:@[^/]+\/)?[^/]+)\//.exec(input);
  if (match) packages.add(match[1]);
}
let licences = "";
for (const name of [...packages].sort()) {
  const folder = resolve("node_modules", name);
  const { version } = JSON.parse(readFileSync(join(folder, "package.json"), "utf8"));
  const file = readdirSync(folder).find((f) => /^licen[cs]e/i.test(f));
  licences += `${name} ${version}\n\n${file ? readFileSync(join(folder, file), "utf8").trim() : "(no licence file)"}\n\n`;
}
writeFileSync(join(out, "norvo-viewer-licences.txt"), licences);
console.log(`norvo-viewer: ${code.length} bytes, ${packages.size} packages`);
