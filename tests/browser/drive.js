// Drives headless Chromium for tests/python/test_web.py: one JSON command a
// line on standard input, one JSON answer a line on standard output.
//   {"open": URL, "count": N}              N more tabs on URL, each once it has drawn
//   {"goto": URL, "page": I}                tab I on URL, once loaded
//   {"eval": EXPRESSION, "page": I}        the expression's value in tab I
//   {"wait": EXPRESSION, "page": I, "timeout": S}  once the expression is true in tab I (S s, 10 s unless given)
//   {"slide": ID, "fraction": F, "page": I} a mouse click at F of the range input's width
//   {"click": SELECTOR, "page": I}
//   {"screenshot": PATH, "page": I}
//   {"quit": true}
"use strict";
const readline = require("readline");
const puppeteer = require("puppeteer-core");

const CHROMIUM = process.env.KIVRA_CHROMIUM || "/usr/bin/chromium";
let browser = null;
const pages = [];

async function open(url, count) {
  if (!browser) {
    browser = await puppeteer.launch({
      executablePath: CHROMIUM,
      headless: true,
      // Every tab draws as a visible one would: the worst case for the server.
      args: ["--no-sandbox", "--disable-gpu", "--disable-background-timer-throttling",
             "--disable-renderer-backgrounding", "--disable-backgrounding-occluded-windows"],
      defaultViewport: { width: 1400, height: 760 },
    });
  }
  for (let i = 0; i < count; i++) {
    // A context of its own per tab, as a separate browser would be: a browser
    // keeps at most six connections per server, and each page holds one open.
    const context = await browser.createBrowserContext();
    const page = await context.newPage();
    page.on("pageerror", (error) => process.stderr.write("page error: " + error.message + "\n"));
    await page.goto(url, { waitUntil: "load" });
    // Streaming: ten tabs that share a processor may take a while to draw.
    await page.waitForFunction("window.kivraView && window.kivraView.events > 0", { timeout: 30000 });
    pages.push(page);
  }
  return { pages: pages.length };
}

async function slide(page, id, fraction) {
  const input = await page.$("#" + id);
  const box = await input.boundingBox();
  await page.mouse.click(box.x + fraction * box.width, box.y + box.height / 2);
  return { value: await page.$eval("#" + id, (e) => Number(e.value)) };
}

async function run(command) {
  const page = pages[command.page || 0];
  if ("open" in command) return open(command.open, command.count || 1);
  // Navigating from a script instead would leave a following wait in the
  // page being left, or in none.
  if ("goto" in command) return (await page.goto(command.goto, { waitUntil: "load" }), {});
  if ("eval" in command) return { value: await page.evaluate(command.eval) };
  if ("wait" in command) {
    return (await page.waitForFunction(command.wait, { timeout: 1000 * (command.timeout || 10) }), {});
  }
  if ("slide" in command) return slide(page, command.slide, command.fraction);
  if ("click" in command) return (await page.click(command.click), {});
  if ("screenshot" in command) return (await page.screenshot({ path: command.screenshot }), {});
  if ("quit" in command) {
    if (browser) await browser.close();
    process.stdout.write(JSON.stringify({}) + "\n");
    process.exit(0);
  }
  throw new Error("unknown command " + JSON.stringify(command));
}

const lines = readline.createInterface({ input: process.stdin });
let queue = Promise.resolve();
lines.on("line", (line) => {
  queue = queue.then(async () => {
    let answer;
    try {
      answer = await run(JSON.parse(line));
    } catch (error) {
      answer = { error: String(error && error.message) };
    }
    process.stdout.write(JSON.stringify(answer) + "\n");
  });
});
lines.on("close", () => queue.then(async () => { if (browser) await browser.close(); process.exit(0); }));
