// The page's own timing of a trivial call through the bridge, shared by the browser tests
// (Playwright's and Puppeteer's pages both evaluate a function in the page).
'use strict';

// After the page's create: p50 and p95 of 200 Hash("abc", 3) calls, printed for the
// figures in the README.
async function reportCallLatency(page, label) {
  const ms = await page.evaluate(async () => {
    const capi = await Kestrune.create();
    const times = [];
    for (let i = 0; i < 200; i++) {
      const t0 = performance.now();
      await capi.Hash('abc', 3);
      times.push(performance.now() - t0);
    }
    times.sort((a, b) => a - b);
    return { p50: times[100], p95: times[190] };
  });
  console.log(`     ${label}: a trivial call (200 Hash after create) p50 ${ms.p50.toFixed(2)} ms, ` +
    `p95 ${ms.p95.toFixed(2)} ms`);
}

module.exports = { reportCallLatency };
