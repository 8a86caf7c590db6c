// The system's headless Chromium driven by puppeteer-core, and what the page tests and the speed
// script ask of the page: its status line, its buttons, and the picture on its canvas.
import puppeteer from "puppeteer-core";
import { pathToFileURL } from "node:url";

// Compiling the module on a busy machine takes seconds, not minutes.
const patience = 300_000; // ms

export async function launch() {
  return puppeteer.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    headless: true,
    pipe: true,
    protocolTimeout: patience,
    args: ["--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--no-first-run"],
  });
}

// Opens the page file with the given query in a 900 x 600 view of `ratio` device pixels per CSS
// pixel. The returned page collects what it reports as errors (uncaught exceptions,
// console.error) in page.errors.
export async function open(browser, file, query = "", ratio = 1) {
  const page = await browser.newPage();
  page.errors = [];
  page.on("pageerror", (error) => page.errors.push(error.message));
  page.on("console", (message) => {
    if (message.type() === "error") page.errors.push(message.text());
  });
  page.setDefaultTimeout(patience);
  await page.setViewport({ width: 900, height: 600, deviceScaleFactor: ratio });
  await page.goto(pathToFileURL(file).href + (query ? "?" + query : ""));
  return page;
}

export const statusText = (page) => page.$eval("#status", (status) => status.textContent);

// Simulated time as the status line shows it ("t = 2.00 s, ...").
export async function shownTime(page) {
  return parseFloat((await statusText(page)).slice(4));
}

export async function waitForTime(page, seconds) {
  await page.waitForFunction((s) => window.ropePage && window.ropePage.time() >= s, {}, seconds);
}

// Pauses and waits for a paint after it, so a picture shows what the status says.
export async function pause(page) {
  await page.click("#pause");
  await page.waitForFunction(() =>
    document.getElementById("status").textContent.includes("paused"));
}

// The rope as drawn: the rows of the topmost and lowest red pixels, and the centres of the dark
// discs (the carriages) on the rows next to the rope's top, in canvas pixels, plus the canvas's
// offset in the page and its device pixels per CSS pixel, for pointer events.
export function scene(page) {
  return page.evaluate(() => {
    const canvas = document.getElementById("canvas");
    const { width, height } = canvas;
    const data = canvas.getContext("2d").getImageData(0, 0, width, height).data;
    const at = (x, y) => 4 * (y * width + x);
    let top = -1;
    let bottom = -1;
    for (let y = 0; y < height; ++y) {
      for (let x = 0; x < width; ++x) {
        const p = at(x, y);
        if (data[p] > 200 && data[p + 1] < 80 && data[p + 2] < 80) {
          if (top < 0) top = y;
          bottom = y;
          break;
        }
      }
    }
    const darkColumns = new Set();
    for (let y = Math.max(0, top - 8); y < Math.min(height, top + 8); ++y)
      for (let x = 0; x < width; ++x) {
        const p = at(x, y);
        if (Math.max(data[p], data[p + 1], data[p + 2]) < 40) darkColumns.add(x);
      }
    // Neighbouring dark columns are one disc.
    const discs = [];
    let run = [];
    for (const x of [...darkColumns].sort((a, b) => a - b)) {
      if (run.length && x > run[run.length - 1] + 2) {
        discs.push((run[0] + run[run.length - 1]) / 2);
        run = [];
      }
      run.push(x);
    }
    if (run.length) discs.push((run[0] + run[run.length - 1]) / 2);
    const box = canvas.getBoundingClientRect();
    return { top, bottom, discs, left: box.left, offsetTop: box.top, scale: width / box.width };
  });
}

// A carriage's drawn centre on the canvas, as the camera puts it.
export function carriagePixel(page, which) {
  return page.evaluate((k) => window.ropePage.pixelOf(window.ropePage.carriage(k), 0), which);
}
