// SPDX-License-Identifier: GPL-3.0-or-later
// Validates sing-box configuration documents against the sing-box 1.12 schema
// (@black-duty/sing-box-schema, JSON Schema 2020-12).
//
//   node validate-config.mjs [FILE ...]      no FILE, or "-": standard input
//
// Exit 0 when every document is valid; 1 with the problems on standard error
// when one is not; 2 when the validator itself cannot run.
//
// Compiling the schema takes about a second, so the compiled validator is
// cached as standalone code under node_modules/.cache and reused while the
// schema, ajv and this script stay the same.

import crypto from "node:crypto";
import fs from "node:fs";
import path from "node:path";
import { createRequire } from "node:module";
import { fileURLToPath } from "node:url";

const here = path.dirname(fileURLToPath(import.meta.url));
const root = path.resolve(here, "../..");
const require = createRequire(path.join(root, "package.json"));

function fail(message) {
  process.stderr.write(`validate-config: ${message}\n`);
  process.exit(2);
}

let schemaPath, ajvVersion;
try {
  schemaPath = require.resolve("@black-duty/sing-box-schema/schema.json");
  ajvVersion = require("ajv/package.json").version;
} catch (e) {
  fail(`the schema or ajv is missing (run "npm ci" in ${root}): ${e.message}`);
}
const formatsPath = path.join(here, "schema-formats.cjs");

// The schema's own annotations that are not JSON Schema keywords. "id" names
// definitions (it is not the old draft-04 identifier), so ajv's handling of it
// is replaced by a plain annotation.
const annotationKeywords = ["id", "version", "title_zh"];

function compileStandalone() {
  const Ajv2020 = require("ajv/dist/2020.js").default;
  const standaloneCode = require("ajv/dist/standalone/index.js").default;
  const { _ } = require("ajv/dist/compile/codegen/index.js");
  const formats = require(formatsPath);
  const ajv = new Ajv2020({
    strict: true,
    allErrors: true,
    code: { source: true, formats: _`require(${formatsPath})` },
  });
  ajv.removeKeyword("id");
  ajv.addVocabulary(annotationKeywords);
  for (const [name, check] of Object.entries(formats)) ajv.addFormat(name, check);
  const schema = JSON.parse(fs.readFileSync(schemaPath, "utf8"));
  return standaloneCode(ajv, ajv.compile(schema));
}

function loadValidator() {
  const hash = crypto.createHash("sha256");
  for (const file of [schemaPath, formatsPath, fileURLToPath(import.meta.url)]) hash.update(fs.readFileSync(file));
  hash.update(ajvVersion).update(formatsPath);
  const cacheDir = path.join(root, "node_modules", ".cache", "corvane");
  const cached = path.join(cacheDir, `sing-box-schema-${hash.digest("hex").slice(0, 16)}.cjs`);
  let code;
  try {
    code = fs.readFileSync(cached, "utf8");
  } catch {
    code = compileStandalone();
    fs.mkdirSync(cacheDir, { recursive: true });
    // Several test processes may compile at once: each renames a whole file into place.
    const temporary = `${cached}.tmp-${process.pid}-${crypto.randomUUID()}`;
    fs.writeFileSync(temporary, code);
    fs.renameSync(temporary, cached);
  }
  const module = { exports: {} };
  new Function("require", "module", "exports", code)(require, module, module.exports);
  return module.exports.default ?? module.exports;
}

function readInput(name) {
  try {
    return fs.readFileSync(name === "-" ? 0 : name, "utf8");
  } catch (e) {
    fail(`cannot read ${name === "-" ? "standard input" : name}: ${e.message}`);
  }
}

const files = process.argv.slice(2);
if (files.length === 0) files.push("-");
const validate = loadValidator();
let invalid = 0;
for (const file of files) {
  const label = file === "-" ? "standard input" : file;
  let document;
  try {
    document = JSON.parse(readInput(file));
  } catch (e) {
    process.stderr.write(`${label}: not JSON: ${e.message}\n`);
    invalid++;
    continue;
  }
  if (validate(document)) continue;
  invalid++;
  // Alternatives (anyOf over outbound types and so on) each add their own
  // complaints; the deepest ones are usually the real defect, so they come first.
  // A branch of another "type" only says "must be equal to constant": last.
  const depth = (e) => e.instancePath.split("/").length;
  const otherType = (e) => (e.keyword === "const" && e.instancePath.endsWith("/type") ? 1 : 0);
  const errors = [...(validate.errors ?? [])].sort((a, b) => depth(b) - depth(a) || otherType(a) - otherType(b));
  process.stderr.write(`${label}: rejected by the sing-box 1.12 schema (${errors.length} problems)\n`);
  for (const error of errors.slice(0, 25)) {
    const params = JSON.stringify(error.params);
    process.stderr.write(`  ${error.instancePath || "/"}: ${error.message} ${params} [${error.schemaPath}]\n`);
  }
}
process.exit(invalid === 0 ? 0 : 1);
