// Assembles the npm package and the page from the built wasm and the sources:
//   node assemble.mjs WASM VERSION SOURCE_DIR LICENSE PACKAGE_DIR WEB_DIR
// The package's module carries the wasm in base64; the page carries the
// module and its own script inline, with a policy that allows those alone.
import { createHash } from 'node:crypto';
import { copyFileSync, mkdirSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

const [wasmPath, version, source, license, packageDir, webDir] = process.argv.slice(2);
const fail = (message) => {
  console.error(`assemble: ${message}`);
  process.exit(1);
};
const read = (path) => readFileSync(join(source, path), 'utf8');

// One template marker, replaced once; a missing one is a broken source.
function fill(text, marker, value, where) {
  if (!text.includes(marker)) fail(`${where} has no ${marker}`);
  return text.replace(marker, () => value);
}

const wasm = readFileSync(wasmPath);
const wasmLimit = 64 * 1024;
if (wasm.length >= wasmLimit) fail(`${wasmPath} has ${wasm.length} bytes; the package allows less than ${wasmLimit}`);

const moduleText = fill(read('src/vemk.js'), "'@VEMK_WASM_BASE64@'", `'${wasm.toString('base64')}'`, 'src/vemk.js');
mkdirSync(packageDir, { recursive: true });
writeFileSync(join(packageDir, 'index.js'), moduleText);
copyFileSync(join(source, 'src/index.d.ts'), join(packageDir, 'index.d.ts'));
copyFileSync(join(source, 'README.md'), join(packageDir, 'README.md'));
copyFileSync(license, join(packageDir, 'LICENSE'));
const manifest = JSON.parse(read('package.json'));
writeFileSync(join(packageDir, 'package.json'), `${JSON.stringify({ ...manifest, version }, null, 2)}\n`);

// The page: the module's exports are in scope of the page's own script.
const script = `${moduleText}\n${read('web/page.js')}`;
const style = read('web/page.css');
if (/<\/(script|style)/i.test(script + style)) fail('the inlined script or style closes its element');
const hash = (text) => `'sha256-${createHash('sha256').update(text).digest('base64')}'`;
let page = read('web/index.html');
page = fill(page, '@VEMK_SCRIPT_HASH@', hash(script), 'web/index.html');
page = fill(page, '@VEMK_STYLE_HASH@', hash(style), 'web/index.html');
page = fill(page, '@VEMK_VERSION@', version, 'web/index.html');
page = fill(page, '/*@VEMK_STYLE@*/', style, 'web/index.html');
page = fill(page, '/*@VEMK_SCRIPT@*/', script, 'web/index.html');
mkdirSync(webDir, { recursive: true });
writeFileSync(join(webDir, 'index.html'), page);
console.log(`assemble: wasm ${wasm.length} bytes, index.js ${moduleText.length} bytes, index.html ${page.length} bytes`);
