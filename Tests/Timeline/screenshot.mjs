// node screenshot.mjs PAGE.html OUT.png: the timeline page as the README shows
// it: one SMN write picked so that the event panel has something in it, and
// only the Setup fields the run changed.
import {pathToFileURL} from 'node:url';
import {launch} from './browser.mjs';

const [page, out] = process.argv.slice(2);
if (!page || !out) {
  console.error('usage: node screenshot.mjs PAGE.html OUT.png');
  process.exit(2);
}
const browser = await launch();
try {
  const tab = await browser.newPage();
  await tab.setViewport({width: 1280, height: 560, deviceScaleFactor: 1});
  await tab.goto(pathToFileURL(page).href, {waitUntil: 'load'});
  const events = await tab.evaluate(() => JSON.parse(document.getElementById('timeline-events').textContent));
  const pick = events.find((e) => e.event === 'smn-write');
  if (pick) {
    const at = await tab.evaluate((seq) => window.timeline.locate(seq), pick.seq);
    await tab.mouse.click(at.x, at.y);
  }
  await tab.click('#changed-only');
  await tab.screenshot({path: out, fullPage: true});
} finally {
  await browser.close();
}
