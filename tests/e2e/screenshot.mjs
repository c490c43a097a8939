// A screenshot of one page as a visitor's browser shows it: Debian's Chromium,
// headless, driven by playwright-core, the whole page at the width given.
// It makes the README's picture of the demo gallery's photo page:
//   ./run demo &   (once it serves)
//   node tests/e2e/screenshot.mjs http://127.0.0.1:8080/ docs/photo-page.png 860
import { chromium } from "playwright-core";

const [url, out, width = "860"] = process.argv.slice(2);
if (!url || !out) {
  console.error("usage: node screenshot.mjs URL OUT.png [WIDTH]");
  process.exit(2);
}
const browser = await chromium.launch({
  executablePath: "/usr/bin/chromium",
  headless: true,
  args: ["--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking"],
});
try {
  const page = await browser.newPage({ viewport: { width: Number(width), height: 400 } });
  const answer = await page.goto(url, { waitUntil: "load", timeout: 120000 });
  if (answer.status() !== 200) throw new Error(`${url} answered ${answer.status()}`);
  await page.screenshot({ path: out, fullPage: true });
  console.log(`${out}: ${url} at ${width} px wide`);
} finally {
  await browser.close();
}
