"""The 3D page (--html) in headless Chromium with WebGL through SwiftShader and the network off.

For each case the page loads with no script error and no request, reports what it drew on its root element, and its
pictures of two frames differ in the target's half, where a character of plausible size stands.
"""
import base64
import json
import os
import pathlib
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import zlib

DATA = pathlib.Path(os.environ.get("NORVO_SHARED_DATA", ""))
TOOL = os.environ.get("NORVO_RETARGET", "")
CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
WALK = "bvh/cmu_02_01_walk.bvh"
CASES = [  # source, target, output extension, what the root element must say
    (WALK, "gltf/bcn_skinned_human.glb", ".glb", {"skinned-meshes": 1}),
    (WALK, "vrm/VRMC_materials_mtoon_UV_Animation_Test.vrm", ".vrm", {"meshes": 1}),
    (WALK, "bvh/cmu_12_03.bvh", ".bvh", {"bone-figures": 2}),
    ("vrm/test.vrma", "gltf/bcn_skinned_human.glb", ".glb", {"skinned-meshes": 1}),
]


def png_pixels(path):
    """The RGB rows of an 8-bit, non-interlaced RGB or RGBA PNG (what Chromium writes)."""
    data = pathlib.Path(path).read_bytes()
    at, idat, width, height, channels = 8, b"", 0, 0, 0
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
            assert depth == 8 and colour in (2, 6), (depth, colour)
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    raw, stride, rows, previous = zlib.decompress(idat), width * channels, [], bytearray(width * channels)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - channels] if x >= channels else 0
            b, c = previous[x], previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + a) & 255
            elif kind == 2:
                line[x] = (line[x] + b) & 255
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[x] = (line[x] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        previous = line
    return rows


def figure_pixels(rows, left, right):
    """The pixels of columns [left, right) that are neither the background (#f4f4f4) nor the floor's bluish lines."""
    found = []
    for y, row in enumerate(rows):
        for x in range(left, right):
            r, g, b = row[x]
            if max(abs(r - 244), abs(g - 244), abs(b - 244)) > 12 and not b - r > 8:
                found.append((x, y))
    return found


class Page(unittest.TestCase):
    def setUp(self):
        if not os.path.exists(CHROMIUM):
            self.skipTest("no chromium (scripts/install-deps.sh installs it)")
        self.folder = pathlib.Path(tempfile.mkdtemp(prefix="norvo-page-"))

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def chromium(self, page, frame, *what, budget=20000):
        run = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--no-first-run", "--mute-audio",
                              "--use-angle=swiftshader", "--enable-unsafe-swiftshader", "--proxy-server=127.0.0.1:9",
                              "--enable-logging=stderr", "--v=0", "--window-size=900,600",
                              f"--virtual-time-budget={budget}", *what, f"file://{page}#frame={frame}"],
                             capture_output=True, text=True, timeout=180, cwd=self.folder)
        return run

    def test_each_case_shows_its_characters(self):
        for source, target, extension, expected in CASES:
            with self.subTest(source=source, target=target):
                page = self.folder / "page.html"
                out = self.folder / ("out" + extension)
                run = subprocess.run([TOOL, str(DATA / source), "--target", str(DATA / target), "-o", str(out),
                                      "--html", str(page)], capture_output=True, text=True, timeout=300)
                self.assertEqual(run.returncode, 0, run.stderr)
                said = re.search(r"^page    .* \(3D, ([\d.]+) (MB|kB)\)$", run.stdout, re.M)
                self.assertTrue(said, run.stdout)
                html = page.read_text()
                # At most about 1.5 MB and 1.34 times the models embedded (their base64).
                models = sum(len(m) for m in re.findall(r'"glb":"([A-Za-z0-9+/=]*)"', html))
                self.assertLess(len(html), 1_500_000 + models, len(html))
                print(f"{source} onto {target}: page {len(html) / 1e6:.2f} MB, models {models / 1e6:.2f} MB")
                self.assertNotIn("<script src", html)

                # The page unpacks its script and models before it draws: on a
                # slow machine a dump may come first, so it is taken again.
                for budget in (20000, 60000, 120000):
                    dom = self.chromium(page, 1, "--dump-dom", budget=budget)
                    if re.search(r"<html[^>]*data-(ready|load-error)", dom.stdout):
                        break
                root = re.search(r"<html[^>]*>", dom.stdout)
                self.assertTrue(root, dom.stdout[:300])
                attributes = dict(re.findall(r'data-([a-z-]+)="([^"]*)"', root.group(0)))
                self.assertNotIn("load-error", attributes, attributes)
                self.assertEqual(attributes.get("ready"), "1", attributes)
                frames = int(attributes["frames"])
                self.assertGreater(frames, 2)
                for key, least in expected.items():
                    self.assertGreaterEqual(int(attributes[key]), least, attributes)
                errors = [line for line in dom.stderr.splitlines()
                          if "CONSOLE" in line and re.search(r"error|uncaught|refused|failed", line, re.I)]
                self.assertEqual(errors, [])

                shots = []
                for frame in (1, frames * 2 // 3):
                    picture = self.folder / f"frame{frame}.png"
                    self.chromium(page, frame, f"--screenshot={picture}")
                    shots.append(png_pixels(picture))
                width, height = len(shots[0][0]), len(shots[0])
                # The result stands in the right half; the strip and the bar sit above the view.
                top = 80
                half = [row[width // 2:] for row in shots[0][top:]], [row[width // 2:] for row in shots[1][top:]]
                self.assertNotEqual(half[0], half[1])
                figure = figure_pixels(shots[0][top:], width // 2, width)
                self.assertGreater(len(figure), 0.005 * (width // 2) * (height - top))
                ys = [y for _, y in figure]
                self.assertGreater(max(ys) - min(ys), 0.15 * (height - top))

    def test_figures_of_other_units_are_drawn_to_one_height(self):
        # The zombie stands about 17 units tall, the avatar 1.1 m: the page says
        # both heights and starts with them drawn as tall.
        page = self.folder / "sizes.html"
        run = subprocess.run([TOOL, str(DATA / "bvh/makehuman_zombie_walk.bvh"), "--target",
                              str(DATA / "vrm/VRMC_vrm_expressions_isBinary_Overrides.vrm"), "-o",
                              str(self.folder / "sizes.bvh"), "--html", str(page)], capture_output=True, text=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        html = page.read_text()
        at = html.index('{"frames"')
        data = json.loads(html[at:html.index("</script>", at)])
        self.assertTrue(data["sameHeight"])
        heights = [figure["height"] for figure in data["figures"]]
        self.assertGreater(heights[0] / heights[1], 3)
        for figure in data["figures"]:
            values = base64.b64decode(figure["at"])
            ys = struct.unpack(f"<{len(values) // 4}f", values)[1::3]
            self.assertGreater(max(ys), 800)
            self.assertLess(max(ys), 1300)


if __name__ == "__main__":
    unittest.main()
