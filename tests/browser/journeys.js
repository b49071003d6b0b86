// Steps of people's journeys through the web pages, in Debian's chromium. One step a run:
//   node journeys.js STEP BASE_URL SHOT_DIR [ARG...]
// BASE_URL is the daemon's http://localhost:PORT/; chromium resolves every host name to
// 127.0.0.1, so that nothing leaves the loopback. Exit 0 when every expectation held.
"use strict";
const { chromium } = require("playwright-core");
const assert = require("node:assert/strict");
const { readFileSync } = require("node:fs");
const [step, base, shots, ...args] = process.argv.slice(2);

const click = (page, selector) => Promise.all([page.waitForNavigation(), page.click(selector)]);
async function login(ctx, account, password) {
  const page = await ctx.newPage();
  await page.goto(base + "login.htm");
  await page.fill("[name=login_account]", account);
  await page.fill("[name=login_password]", password);
  await click(page, "button[type=submit]");
  return page;
}
const shot = (page, name) => page.screenshot({ path: `${shots}/${name}.png`, fullPage: true });
const row = (page, text) => page.locator("tbody tr", { hasText: text }).first();
// Fills the fields of the form of that action and submits it.
async function submit(page, action, fields) {
  const form = `form:has([value=${action}])`;
  for (const [name, value] of Object.entries(fields))
    await page.fill(`${form} [name="${name}"]`, value);
  await click(page, `${form} button[type=submit]`);
}
const href = (page, text) => row(page, text).locator("a").first().getAttribute("href");
const follow = async (page, text) => page.goto(base + (await href(page, text)));
const addDomain = (page, name) =>
  submit(page, "adddomain", { name, display: name.split(".")[0] });

const steps = {
  // The administrator makes a domain with extension 200 (password args[0]) on the pages.
  async admin_creates(ctx) {
    const page = await login(ctx, "admin", "");
    assert.match(page.url(), /reg_index\.htm$/);
    await addDomain(page, "shop.test");
    await follow(page, "shop.test");
    await submit(page, "addacc", { name: "200", password: args[0], web_pass: "w200" });
    await row(page, "200").waitFor();
    await shot(page, "dom_index");
    // An auto attendant whose key 1 reaches the new extension.
    await page.selectOption("form:has([value=addacc]) [name=type]", "attendants");
    await submit(page, "addacc", { name: "500" });
    const attendant = base + (await href(page, "500"));
    await page.goto(attendant);
    await submit(page, "editaccount", { "att.input_1": "1", "att.code_1": "200" });
    await page.goto(attendant);
    assert.equal(await page.inputValue("[name='att.code_1']"), "200");
    await shot(page, "dom_attendant");
  },
  async admin_sees_registration(ctx) {
    const page = await login(ctx, "admin", "");
    await page.goto(base + "reg_registrations.htm");
    await row(page, "shop.test").filter({ hasText: "200" }).waitFor();
    await shot(page, "reg_registrations");
    await page.goto(base + "reg_index.htm");
    await shot(page, "reg_index");
  },
  // Extension 100 of localhost becomes its domain's administrator, and other.test gets an
  // extension; 100 then meets the walls of his level.
  async domain_admin_walls(ctx) {
    const admin = await login(ctx, "admin", "");
    await addDomain(admin, "other.test");
    const other = await href(admin, "other.test");
    await admin.goto(base + other);
    await submit(admin, "addacc", { name: "300", password: "s300" });
    const foreign = await href(admin, "300");
    await admin.goto(base + "reg_index.htm");
    await follow(admin, "localhost");
    await follow(admin, "100");
    await admin.check("[name='ext.admin']");
    await submit(admin, "editaccount", {});
    const page = await login(await ctx.browser().newContext(), "100", "web100");
    assert.match(page.url(), /dom_index\.htm$/);
    await shot(page, "dom_index_domain_admin");
    // His domain's archive from the settings page, and nothing above his level.
    await page.goto(base + "dom_settings.htm");
    const [tar] = await Promise.all([page.waitForEvent("download"), page.click("a.button")]);
    assert.match(readFileSync(await tar.path(), "latin1"), /<name>localhost<\/name>/);
    for (const path of ["reg_index.htm", "reg_settings.htm", "pbx.tar", other, foreign])
      assert.equal((await page.goto(base + path)).status(), 403, path);
  },
  // User 101 forwards his calls to 105; args[0] keeps his browser's cookies for the next step.
  async user_forwards(ctx) {
    const page = await login(ctx, "101", "web101");
    assert.match(page.url(), /usr_index\.htm$/);
    await submit(page, "save", { "ext.cfa": "105" });
    await page.locator(".result", { hasText: "Saved." }).waitFor();
    await ctx.storageState({ path: args[0] });
  },
  async user_sees_forwarding(ctx) {
    const page = await ctx.newPage();
    await page.goto(base + "usr_index.htm");
    assert.equal(await page.inputValue("[name='ext.cfa']"), "105");
    // The message's player loads its audio (the page's session, no other rights).
    await page.$eval("audio", (a) => new Promise((loaded, failed) => {
      a.oncanplay = loaded;
      a.onerror = () => failed(new Error(`audio ${a.src}: ${a.error && a.error.code}`));
      a.load();
    }));
    await shot(page, "usr_index");
  },
  // A wrong password is answered late, and another browser's pages are served meanwhile.
  async wrong_password(ctx) {
    const other = await login(await ctx.browser().newContext(), "admin", "");
    const page = await ctx.newPage();
    await page.goto(base + "login.htm");
    await page.fill("[name=login_account]", "admin");
    await page.fill("[name=login_password]", "guess");
    const started = Date.now();
    let answered = false;
    const wrong = click(page, "button[type=submit]").then(() => (answered = true));
    assert.equal((await other.goto(base + "reg_settings.htm")).status(), 200);
    assert.equal(answered, false, "the wrong password was answered before the other page");
    await wrong;
    assert.ok(Date.now() - started >= 5000, "answered before the delay");
    const alert = page.locator("[role=alert]", { hasText: "Username or password are not correct" });
    await alert.waitFor();
    await shot(page, "login_wrong_password");
  },
  // The backup is downloaded, a domain added, and restoring the backup takes it away again.
  async restore(ctx) {
    const page = await login(ctx, "admin", "");
    await page.goto(base + "reg_backup.htm");
    await shot(page, "reg_backup");
    const [download] = await Promise.all([page.waitForEvent("download"), page.click("a.button")]);
    await download.saveAs(args[0]);
    await page.goto(base + "reg_index.htm");
    await addDomain(page, "temp.test");
    await row(page, "temp.test").waitFor();
    await page.goto(base + "reg_backup.htm");
    await page.setInputFiles("[name=file]", args[0]);
    page.on("dialog", (d) => d.accept());
    await submit(page, "restore", {});
    await page.goto(base + "reg_index.htm");
    await row(page, "localhost").waitFor();
    assert.equal(await row(page, "temp.test").count(), 0);
  },
};

(async () => {
  const browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
    args: ["--no-sandbox", "--host-resolver-rules=MAP * 127.0.0.1"],
  });
  let failed = false;
  try {
    const ctx = await browser.newContext({
      acceptDownloads: true,
      storageState: step === "user_sees_forwarding" ? args[0] : undefined,
    });
    ctx.setDefaultTimeout(15000);
    await steps[step](ctx);
  } catch (e) {
    console.error(`${step}: ${e.stack || e}`);
    failed = true;
  }
  await browser.close();
  process.exit(failed ? 1 : 0);
})();
