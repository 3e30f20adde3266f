// Builds the extension into dist/ and syntaxes/: the client bundled into one
// file (esbuild; the `vscode` module is the editor's own), and the grammar and
// language configuration copied from editors/, where they are kept for every
// editor.
import { build } from "esbuild";
import { copyFileSync, mkdirSync } from "node:fs";

mkdirSync("syntaxes", { recursive: true });
for (const file of ["quarl.tmLanguage.json", "language-configuration.json"]) {
  copyFileSync(`../${file}`, `syntaxes/${file}`);
}
copyFileSync("../../LICENSE", "LICENSE");
await build({
  entryPoints: ["src/extension.ts"],
  bundle: true,
  outfile: "dist/extension.js",
  external: ["vscode"],
  format: "cjs",
  platform: "node",
  target: "node18",
  minify: true,
  sourcemap: false,
  logLevel: "warning",
});
