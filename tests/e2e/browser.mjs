// A real browser on the gallery: Debian's Chromium, headless, driven by
// playwright-core. Loads the photo page, checks every picture and the table,
// follows the slideshow link and waits for the page to reload itself and
// show the next slide. Screenshots go to the folder given.
//   node browser.mjs EXPECTATIONS.json
// EXPECTATIONS: { url, pictures: [{href, caption, size: [width, height]}], slides: [caption or null,
// caption or null], screenshots, profile }
import { readFileSync } from "node:fs";
import { join } from "node:path";
import { chromium } from "playwright-core";

const expect = JSON.parse(readFileSync(process.argv[2], "utf8"));

function check(condition, message) {
  if (!condition) throw new Error(message);
}

// What the visitor sees of the slide: its caption line and a digest of the
// picture's pixels (the slide file keeps its name from slide to slide).
async function slideState(page) {
  return page.evaluate(() => {
    const img = document.querySelector('img[src="t_SLIDEIMAGE.jpg"]');
    if (!img || !img.complete || img.naturalWidth === 0) return { loaded: false };
    const canvas = document.createElement("canvas");
    canvas.width = img.naturalWidth;
    canvas.height = img.naturalHeight;
    const context = canvas.getContext("2d");
    context.drawImage(img, 0, 0);
    const pixels = context.getImageData(0, 0, canvas.width, canvas.height).data;
    let digest = 0;
    for (let i = 0; i < pixels.length; i += 97) digest = (digest * 31 + pixels[i]) >>> 0;
    return {
      loaded: true,
      width: img.naturalWidth,
      height: img.naturalHeight,
      digest,
      heading: document.querySelector("center > font[color=red]")?.innerText.trim() ?? "",
    };
  });
}

function expectSlide(state, caption, label) {
  check(state.loaded, `${label}: the slide picture did not load`);
  if (caption) check(state.heading.endsWith(" - " + caption), `${label}: heading "${state.heading}", expected the caption "${caption}"`);
  else check(!state.heading.includes(" - "), `${label}: heading "${state.heading}" has a caption, expected none`);
}

const context = await chromium.launchPersistentContext(expect.profile, {
  executablePath: "/usr/bin/chromium",
  headless: true,
  args: [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
  ],
  viewport: { width: 1100, height: 900 },
});
try {
  const page = context.pages()[0] ?? (await context.newPage());
  const answer = await page.goto(expect.url, { waitUntil: "load" });
  check(answer.status() === 200, `photo page answered ${answer.status()}`);

  const images = await page.$$eval("img", (all) =>
    all.map((img) => ({ src: img.src, complete: img.complete, width: img.naturalWidth })));
  check(images.length === expect.pictures.length, `${images.length} images on the page, expected ${expect.pictures.length}`);
  for (const img of images) check(img.complete && img.width > 0, `image not loaded: ${img.src}`);

  const cells = await page.$$eval("table td", (all) =>
    all.map((td) => ({ link: td.querySelector("a")?.href ?? null, thumbnail: !!td.querySelector("img"), text: td.innerText.trim() })));
  const pictureCells = cells.filter((c) => c.thumbnail);
  check(pictureCells.length === expect.pictures.length, `${pictureCells.length} thumbnail cells`);
  const links = pictureCells.map((c) => c.link);
  const expectedLinks = expect.pictures.map((p) => p.href);
  check(JSON.stringify(links) === JSON.stringify(expectedLinks), `thumbnail links ${links} expected ${expectedLinks}`);
  for (const picture of expect.pictures) {
    check(cells.some((c) => !c.thumbnail && c.text.startsWith(picture.caption)), `no caption cell "${picture.caption}"`);
  }
  const rows = await page.$$eval("table tr", (all) => all.filter((tr) => tr.querySelector("img")).length);
  check(rows === Math.ceil(expect.pictures.length / 3), `${rows} rows of pictures`);
  await page.screenshot({ path: join(expect.screenshots, "photo-page.png"), fullPage: true });
  console.log(`photo page: ${images.length} images loaded, ${cells.length} cells, ${rows} rows`);

  // Every link opens as an image of its picture's upright size: a HEIC's
  // through the JPEG the program makes of it, PNG, WebP and AVIF as they are.
  for (const picture of expect.pictures) {
    const tab = await context.newPage();
    try {
      const opened = await tab.goto(picture.href, { waitUntil: "load" });
      check(opened.status() === 200, `${picture.href} answered ${opened.status()}`);
      const shown = await tab.evaluate(() => {
        const img = document.images[0];
        return img && img.complete ? { width: img.naturalWidth, height: img.naturalHeight } : null;
      });
      check(shown, `${picture.href} did not open as an image`);
      check(shown.width === picture.size[0] && shown.height === picture.size[1],
        `${picture.href} shows ${shown.width}x${shown.height}, expected ${picture.size[0]}x${picture.size[1]}`);
      console.log(`link ${picture.href.split("/").pop()}: an image of ${shown.width}x${shown.height}`);
    } finally {
      await tab.close();
    }
  }

  await Promise.all([page.waitForNavigation({ waitUntil: "load" }), page.click("text=Click Here for Slideshow.")]);
  check(page.url().endsWith("?W"), `the slideshow link led to ${page.url()}`);
  const first = await slideState(page);
  expectSlide(first, expect.slides[0], "first slide");
  await page.screenshot({ path: join(expect.screenshots, "slideshow-1.png") });
  console.log(`slideshow: "${first.heading}" ${first.width}x${first.height}`);

  // No click: the page's own Refresh (10 s) brings the next slide.
  const started = Date.now();
  await page.waitForEvent("load", { timeout: 25000 });
  const second = await slideState(page);
  expectSlide(second, expect.slides[1], "second slide");
  check(second.digest !== first.digest, "the reloaded page shows the same picture");
  await page.screenshot({ path: join(expect.screenshots, "slideshow-2.png") });
  console.log(`reloaded by itself after ${((Date.now() - started) / 1000).toFixed(1)} s: "${second.heading}" ${second.width}x${second.height}`);
} finally {
  await context.close();
}
