// The web page of `veltaai serve` in headless Chromium: a question typed and sent, its steps
// appearing while it runs, then the answer, the query's rows as a table, the analysis code
// and the plot. Everything real: the stub chat server and veltaai as processes, SQLite, the
// Python kernel. Leaves page.png in the directory given as the first argument.
import { chromium } from "playwright-core";
import { spawn } from "node:child_process";
import { mkdtempSync, writeFileSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import assert from "node:assert/strict";

const [artefacts] = process.argv.slice(2);
const { VELTAAI_PROGRAM, STUB_CHAT_PROGRAM, CHINOOK } = process.env;
const work = mkdtempSync(join(tmpdir(), "veltaai-page-"));
const children = [];

const query =
  "SELECT g.Name, COUNT(*) AS Tracks FROM Track t JOIN Genre g ON g.GenreId = t.GenreId " +
  "GROUP BY g.Name ORDER BY Tracks DESC LIMIT 3";
const code =
  "import matplotlib.pyplot as plt\nfig, ax = plt.subplots(figsize=(6, 3))\n" +
  "ax.bar(['Rock', 'Latin', 'Metal'], [1297, 579, 374], color='#2f5bd3')\nax.set_ylabel('Tracks')\n" +
  "fig.tight_layout()\nfig.savefig('genres.png')\nprint('saved genres.png')\n";
const tool = (name, reply) => ({ match: { tool: name }, repeat: true, ...reply });
const script = [
  // A short pause, so the page shows steps while the question is still running.
  tool("select_relevant_tables", {
    stall_ms: 400,
    tool_call: { name: "select_relevant_tables", arguments: { relevant_tables: ["Genre", "Track"] } },
  }),
  tool("SQLQueryInput", { structured: { sql_query: query } }),
  tool("PythonCodeInput", { structured: { code } }),
  tool("GenerationOutput", {
    structured: { image_path: "genres.png", final_response: "Rock has the most tracks (1297), then Latin and Metal." },
  }),
  { match: { any_contains: "You are reviewing a" }, content: "```sql\n" + query + "\n```", repeat: true },
];

// Starts a program and resolves with the first match of pattern in what it prints.
function start(program, args, env, pattern) {
  return new Promise((resolve, reject) => {
    const child = spawn(program, args, { env: { PATH: "/usr/bin:/bin", ...env }, stdio: ["ignore", "pipe", "pipe"] });
    children.push(child);
    let said = "";
    const timer = setTimeout(() => reject(new Error(program + " did not start: " + said)), 20000);
    const listen = (chunk) => {
      said += chunk;
      const found = said.match(pattern);
      if (found) { clearTimeout(timer); resolve(found[1]); }
    };
    child.stdout.on("data", listen);
    child.stderr.on("data", listen);
    child.on("exit", (status) => reject(new Error(program + " ended (" + status + "): " + said)));
  });
}

let browser;
try {
  writeFileSync(join(work, "script.json"), JSON.stringify(script));
  const chat = await start(STUB_CHAT_PROGRAM, ["--script", join(work, "script.json")], {}, /listening on (\S+)/);
  const settings = {};
  for (const family of ["CHAT_35_", "CHAT_4_"]) {
    Object.assign(settings, {
      [family + "API_BASE"]: chat, [family + "API_KEY"]: "key", [family + "API_VERSION"]: "2024-02-01",
      [family + "DEPLOPMENT_NAME"]: "dep",
    });
  }
  if (process.env.VELTAAI_PYTHON) settings.VELTAAI_PYTHON = process.env.VELTAAI_PYTHON;
  const base = await start(VELTAAI_PROGRAM,
    ["serve", "--database", "sqlite:///" + CHINOOK, "--port", "0", "--media", join(work, "media")], settings,
    /serving on (http:\/\/\S+)/);

  // A fresh profile in the scratch directory (Playwright passes it as --user-data-dir).
  browser = await chromium.launchPersistentContext(join(work, "profile"), {
    executablePath: "/usr/bin/chromium",
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    viewport: { width: 1000, height: 1300 },
  });
  const page = await browser.newPage();
  const problems = [];
  page.on("pageerror", (error) => problems.push(String(error)));
  page.on("console", (message) => { if (message.type() === "error") problems.push(message.text()); });
  await page.goto(base);
  await page.fill("#question", "Which genres have the most tracks?");
  await page.click("#submit");

  // Steps show up while the answer is still being made.
  await page.waitForSelector("#steps li", { timeout: 5000 });
  assert.equal(await page.isVisible("#answer-box"), false, "the answer came before any step was shown");

  await page.waitForSelector("#answer-box:not(.hidden)", { timeout: 20000 });
  assert.match(await page.textContent("#answer"), /Rock has the most tracks/);
  const steps = await page.$$eval("#steps li", (items) => items.map((li) => [li.dataset.node, li.className]));
  assert.equal(steps.length, 10, JSON.stringify(steps));
  assert.deepEqual(steps[0], ["init_node", "finished"]);
  assert.deepEqual(steps[9], ["final_response_generation_node", "finished"]);
  assert.ok(steps.every(([, state]) => state === "finished"), JSON.stringify(steps));

  assert.equal(await page.textContent("#queries pre"), query);
  const rows = await page.$$eval("#queries table tr", (trs) => trs.map((tr) => [...tr.cells].map((td) => td.textContent)));
  assert.deepEqual(rows, [["Rock", "1297"], ["Latin", "579"], ["Metal", "374"]]);
  assert.equal(await page.textContent("#code"), code);
  assert.match(await page.textContent("#output"), /saved genres\.png/);

  await page.waitForSelector("#plot-box:not(.hidden)", { timeout: 10000 });
  // Polled from here: the page's policy forbids the eval that waitForFunction relies on.
  for (let tries = 0; tries < 100 && !(await page.$eval("#plot", (img) => img.naturalWidth)); ++tries) {
    await new Promise((done) => setTimeout(done, 100));
  }
  assert.equal(await page.$eval("#plot", (img) => img.naturalWidth), 600);
  assert.deepEqual(problems, []);

  await page.screenshot({ path: join(artefacts, "page.png"), fullPage: true });
  console.log("page test passed; screenshot at " + join(artefacts, "page.png"));
} finally {
  if (browser) await browser.close();
  for (const child of children) child.kill("SIGTERM");
  rmSync(work, { recursive: true, force: true });
}
