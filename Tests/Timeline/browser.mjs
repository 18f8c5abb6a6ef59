// Debian's chromium under puppeteer-core, which downloads no browser of its own.
import puppeteer from 'puppeteer-core';

export const chromium = process.env.CHROMIUM || '/usr/bin/chromium';

export function launch() {
  return puppeteer.launch({
    executablePath: chromium,
    headless: true,
    // A container has no user namespaces for the sandbox and no GPU.
    args: ['--headless=new', '--no-sandbox', '--disable-gpu'],
  });
}
