// The page in the system's headless Chromium: the golden script against the native trajectory,
// the picture against the camera, and what a user does with the page (drags with the mouse and
// by touch, pause and resume, reset, the panel). Usage: node page.test.mjs PAGE GOLDEN_CSV OUT
import { after, before, test } from "node:test";
import assert from "node:assert/strict";
import { readFileSync, writeFileSync } from "node:fs";
import path from "node:path";
import * as chromium from "./browser.mjs";

const [pageFile, goldenFile, out] = process.argv.slice(2);
if (!out) throw new Error("usage: node page.test.mjs PAGE GOLDEN_CSV OUT");

let browser;
before(async () => { browser = await chromium.launch(); });
after(async () => { await browser?.close(); });

// Every page must run without a single error of its own.
async function withPage(query, ratio, body) {
  if (body === undefined) [ratio, body] = [1, ratio];
  const page = await chromium.open(browser, pageFile, query, ratio);
  try {
    await body(page);
    assert.deepEqual(page.errors, [], "the page reported errors");
  } finally {
    await page.close();
  }
}

const rowsOf = (text) =>
  text.split("\n").filter((line) => line.trim()).map((line) => line.split(",").map(Number));

// The browser's C library rounds sin and cos differently from glibc in the last bit now and then,
// so the runs agree closely, not bit for bit: within 1e-9 one move in (t = 0.5 s), within 1e-6
// after both moves and the swing that grows the differences (t = 2 s).
test("the golden script in the page follows the native trajectory", async () => {
  await withPage("golden", async (page) => {
    await page.waitForFunction(() => document.title === "golden run done");
    const text = await page.$eval("#results", (results) => results.textContent);
    writeFileSync(path.join(out, "golden_rows.csv"), text + "\n");
    assert.doesNotMatch(text, /error/);
    const web = rowsOf(text);
    const native = rowsOf(readFileSync(goldenFile, "utf8").split("\n").slice(1).join("\n"));
    assert.equal(web.length, native.length, "rows");
    const limits = new Map([[0.5, 1e-9], [2.0, 1e-6]]);
    let checked = 0;
    for (let r = 0; r < native.length; ++r) {
      assert.equal(web[r].length, native[r].length, `columns in row ${r}`);
      assert.ok(Math.abs(web[r][0] - native[r][0]) <= 1e-12, `time in row ${r}`);
      const difference = Math.max(...web[r].slice(1).map((v, i) => Math.abs(v - native[r][i + 1])));
      const limit = [...limits].find(([t]) => Math.abs(native[r][0] - t) < 1e-9)?.[1];
      const at = native[r][0].toFixed(2);
      console.log(`t = ${at} s: max |difference| = ${difference.toPrecision(3)}`);
      if (limit !== undefined) {
        assert.ok(difference <= limit, `difference ${difference} at t = ${native[r][0]} s`);
        ++checked;
      }
    }
    assert.equal(checked, limits.size);
  });
});

// At 2 s the rope hangs in a curve from its carriages. The camera says where: its discs sit where
// the carriages project, and the lowest red row is where the lowest body end projects.
test("the rope sags between its carriages where the camera puts it; pause holds, resume goes on",
  async () => {
    await withPage("at=2", async (page) => {
      await chromium.waitForTime(page, 2);
      await chromium.pause(page);
      await page.screenshot({ path: path.join(out, "page.png") });
      const drawn = await chromium.scene(page);
      const carriages = [
        await chromium.carriagePixel(page, 1),
        await chromium.carriagePixel(page, 2),
      ];
      const lowest = await page.evaluate(() => Math.max(
        ...window.ropePage.bodyEnds().map(([x, y]) => window.ropePage.pixelOf(x, y)[1])));
      assert.ok(drawn.bottom - drawn.top >= 40, `rope from row ${drawn.top} to ${drawn.bottom}`);
      assert.ok(Math.abs(drawn.top - carriages[0][1]) <= 8, "carriages level with the rope's top");
      assert.equal(drawn.discs.length, 2, `discs at ${drawn.discs}`);
      for (let k = 0; k < 2; ++k) assert.ok(Math.abs(drawn.discs[k] - carriages[k][0]) <= 2);
      assert.ok(Math.abs(drawn.bottom - lowest) <= 3,
        `lowest red row ${drawn.bottom}, camera ${lowest}`);

      // Paused, time stands still; resumed, it runs on from where it stood.
      const held = await page.evaluate(() => window.ropePage.time());
      await new Promise((resolve) => setTimeout(resolve, 300));
      assert.equal(await page.evaluate(() => window.ropePage.time()), held);
      await page.click("#pause");
      assert.equal(await page.$eval("#pause", (button) => button.textContent), "Pause");
      await chromium.waitForTime(page, held + 0.2);
      assert.match(await chromium.statusText(page), /real-time factor/);
    });
  });

// Drags a pointer over the canvas along its carriages' row, from canvas column `from` to `to`
// (device pixels), then lets a simulated second pass and pauses.
async function dragAndSettle(page, drag, from, to) {
  const drawn = await chromium.scene(page);
  const css = (pixels) => pixels / drawn.scale;
  const row = drawn.offsetTop + css((await chromium.carriagePixel(page, 1))[1]);
  await drag(drawn.left + css(from), drawn.left + css(to), row);
  await chromium.waitForTime(page, (await page.evaluate(() => window.ropePage.time())) + 1);
  await chromium.pause(page);
  return chromium.scene(page);
}

const near = (discs, column) => discs.some((x) => Math.abs(x - column) <= 6);

// Also on a screen of two device pixels per CSS pixel: the canvas is drawn in device pixels and
// the pointer maps back through the same ratio.
for (const ratio of [1, 2]) {
  test(`the right button drags carriage 2; Reset starts the rope over (${ratio}x)`, async () => {
    await withPage("at=2", ratio, async (page) => {
      await chromium.waitForTime(page, 2);
      assert.equal((await chromium.scene(page)).scale, ratio);
      const [start] = await chromium.carriagePixel(page, 2);
      const [other] = await chromium.carriagePixel(page, 1);
      const drawn = await dragAndSettle(page, async (x0, x1, y) => {
        await page.mouse.move(x0, y);
        await page.mouse.down({ button: "right" });
        await page.mouse.move(x1, y, { steps: 10 });
        await page.mouse.up({ button: "right" });
      }, start, start - 75 * ratio);
      await page.screenshot({ path: path.join(out, `drag-${ratio}x.png`) });
      assert.ok(near(drawn.discs, start - 75 * ratio), `discs at ${drawn.discs}`);
      assert.ok(!near(drawn.discs, start), "carriage 2 left where it was");
      assert.ok(near(drawn.discs, other), "carriage 1 stayed");

      await page.click("#reset");
      assert.ok(await page.evaluate(() => window.ropePage.time()) < 0.5);
      assert.ok(Math.abs((await chromium.carriagePixel(page, 2))[0] - start) <= 1);
    });
  });
}

test("a touch drags the carriage nearest to it", async () => {
  await withPage("at=1", async (page) => {
    await chromium.waitForTime(page, 1);
    const [first] = await chromium.carriagePixel(page, 1);
    const [second] = await chromium.carriagePixel(page, 2);
    const drawn = await dragAndSettle(page, async (x0, x1, y) => {
      await page.touchscreen.touchStart(x0, y);
      for (let step = 1; step <= 10; ++step)
        await page.touchscreen.touchMove(x0 + (x1 - x0) * step / 10, y);
      await page.touchscreen.touchEnd();
    }, first + 20, first - 60);
    assert.ok(near(drawn.discs, first - 60), `discs at ${drawn.discs}`);
    assert.ok(near(drawn.discs, second), "carriage 2 stayed");
  });
});

// The canvas's colour at the pixel under the world point (x, y).
const colourAt = (page, x, y) => page.evaluate(([x, y]) => {
  const [column, row] = window.ropePage.pixelOf(x, y).map(Math.floor);
  const canvas = document.getElementById("canvas");
  return [...canvas.getContext("2d").getImageData(column, row, 1, 1).data.slice(0, 3)];
}, [x, y]);

// The rope's world from the address: the ground below its line and a peg in their colours
// (scene/world_picture.hpp), the background beside them. Carriage 1 dragged 0.3 m towards
// carriage 2 leaves 1 m of rope between carriages 0.5 m apart, 0.25 m above the ground: it drags
// along the ground and rests on it, sunk by the contact's millimetres (without the ground it would
// hang some 0.4 m deep).
test("the ground and a peg are drawn; a rope on the ground drags across it", async () => {
  await withPage("ground_height=-0.25&friction=0.3&pegs=-0.6,-0.15,0.04", async (page) => {
    await chromium.waitForTime(page, 1);
    const [first] = await chromium.carriagePixel(page, 1);
    const metre = await page.evaluate(() => window.ropePage.pixelsPerMetre());
    await dragAndSettle(page, async (x0, x1, y) => {
      await page.mouse.move(x0, y);
      await page.mouse.down();
      await page.mouse.move(x1, y, { steps: 10 });
      await page.mouse.up();
    }, first, first + 0.3 * metre);
    const x1 = await page.evaluate(() => window.ropePage.carriage(1));
    assert.ok(Math.abs(x1 - 0.1) < 0.01, `carriage 1 at ${x1} m`);
    const lowest = await page.evaluate(() =>
      Math.min(...window.ropePage.bodyEnds().map(([, y]) => y)));
    assert.ok(lowest > -0.26 && lowest < -0.24, `lowest body end at ${lowest} m`);
    assert.deepEqual(await colourAt(page, 0.8, -0.6), [150, 130, 105], "ground");
    assert.deepEqual(await colourAt(page, -0.6, -0.15), [128, 128, 128], "peg");
    assert.deepEqual(await colourAt(page, -0.6, -0.21), [255, 255, 255], "beside the peg");
  });
});

async function rebuild(page, key, value) {
  await page.click(`input[name=${key}]`, { clickCount: 3 });
  await page.keyboard.type(value);
  await page.click("#panel button[type=submit]");
}

// 40 links (1.64 m) between carriages 0.8 m apart hang about 0.72 m deep; 24 links (1 m) can hang
// no deeper than 0.3 m. A refused value leaves the rope as it runs and says why, as the model file
// would.
test("the panel rebuilds the rope and refuses what the model file refuses", async () => {
  await withPage("", async (page) => {
    await page.waitForFunction(() => window.ropePage);
    await rebuild(page, "links", "40");
    assert.equal(await page.evaluate(() => window.ropePage.bodyCount()), 41);
    await chromium.waitForTime(page, 2);
    await chromium.pause(page);
    const drawn = await chromium.scene(page);
    const metre = await page.evaluate(() => window.ropePage.pixelsPerMetre());
    assert.ok(drawn.bottom - drawn.top > 0.5 * metre,
      `rope from row ${drawn.top} to ${drawn.bottom}`);

    await rebuild(page, "links", "0");
    assert.equal(await page.$eval("#message", (message) => message.textContent),
      "key 'links' needs a whole number from 1 to 1000000");
    assert.equal(await page.evaluate(() => window.ropePage.bodyCount()), 41);
    await page.click("#reset");
    assert.equal(await page.evaluate(() => window.ropePage.bodyCount()), 41);
  });
});

// A page that blocks on its input never gets back to the pointer: whatever the address asks,
// a trivial script must come back within a second, now and a little later.
async function assertAnswers(page) {
  for (let check = 0; check < 3; ++check) {
    let timer;
    const late = new Promise((_, reject) => {
      timer = setTimeout(() => reject(new Error("the page did not answer within 1 s")), 1000);
    });
    try {
      assert.equal(await Promise.race([page.evaluate(() => 1 + 1), late]), 2);
    } finally {
      clearTimeout(timer);
    }
    await new Promise((resolve) => setTimeout(resolve, 400));
  }
}

const messageText = (page) => page.$eval("#message", (message) => message.textContent);

test("refused address values are shown and the page runs the rope as it can", async () => {
  // Refused: the page starts at 0 with the shipped rope and says why.
  await withPage("at=Infinity&links=0", async (page) => {
    await page.waitForFunction(() => window.ropePage);
    await assertAnswers(page);
    const shown = await messageText(page);
    assert.match(shown, /'at' needs a time in seconds from 0 to \d+, got 'Infinity'/);
    assert.match(shown, /key 'links' needs a whole number from 1 to 1000000/);
    assert.equal(await page.evaluate(() => window.ropePage.bodyCount()), 25);
    assert.ok(await page.evaluate(() => window.ropePage.time()) > 0, "the rope runs");
  });
  // A far start is caught up with in slices, paints on the way.
  await withPage("at=3600", async (page) => {
    await page.waitForFunction(() =>
      document.getElementById("status").textContent.includes("catching up to 3600.00 s"));
    await assertAnswers(page);
  });
  // Too stiff to take a step within a paint's budget: held, and the status line says why.
  await withPage("joint_stiffness=1e20", async (page) => {
    await page.waitForFunction(() => window.ropePage);
    await page.waitForFunction(() =>
      document.getElementById("status").textContent.includes("too large or stiff"));
    await assertAnswers(page);
    assert.equal(await messageText(page), "");
    await rebuild(page, "joint_stiffness", "5.5");
    await chromium.waitForTime(page, 0.5);
  });
});

// Slowed a hundredfold, the machine falls behind the wall clock and the status line says so.
test("a machine that cannot keep up is told so", async () => {
  await withPage("", async (page) => {
    await page.waitForFunction(() => window.ropePage);
    await page.emulateCPUThrottling(100);
    await page.waitForFunction(() =>
      document.getElementById("status").textContent.includes("(this machine cannot keep up)"));
    await page.emulateCPUThrottling(null);
  });
});
