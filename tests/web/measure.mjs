// The page's speed in the system's headless Chromium: one right-hand side of the rope and the
// real-time factor of bare frames (the page's ?measure), then the real-time factor of the page's
// own loop without pacing, drawing every animation frame (?unpaced), over 5 s of wall time.
// Usage: node measure.mjs PAGE
import * as chromium from "./browser.mjs";

const [pageFile] = process.argv.slice(2);
if (!pageFile) throw new Error("usage: node measure.mjs PAGE");
const browser = await chromium.launch();
try {
  const bare = await chromium.open(browser, pageFile, "measure");
  await bare.waitForFunction(() => document.title === "measure done");
  console.log(await bare.$eval("#results", (results) => results.textContent));
  await bare.close();

  const page = await chromium.open(browser, pageFile, "unpaced");
  await chromium.waitForTime(page, 1);
  const simulated = () => page.evaluate(() => window.ropePage.time());
  const [simStart, wallStart] = [await simulated(), performance.now()];
  await new Promise((resolve) => setTimeout(resolve, 5000));
  const factor = ((await simulated()) - simStart) / ((performance.now() - wallStart) / 1000);
  console.log(`unpaced_loop_real_time_factor=${factor}`);
} finally {
  await browser.close();
}
