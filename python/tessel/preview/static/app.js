// The preview page: a template, its variables and what it renders, side by
// side, re-rendered a moment after each change. Output reaches the page as
// sanitised HTML (the server renders Markdown with raw HTML off); every other
// text from a template is set as text, never as markup.
"use strict";

const TOKEN = new URLSearchParams(location.search).get("token") || "";
const DEBOUNCE_MS = 20;
const POLL_MS = 1000;
const $ = (id) => document.getElementById(id);

const state = {
  path: null, text: "", mtime: null, inputs: [], result: null,
  scratch: false, writable: false, view: "rendered", timer: null, changedAt: null, renders: 0, sequence: 0,
};

async function api(path, body) {
  const options = { headers: { "X-Quarl-Token": TOKEN } };
  if (body !== undefined) {
    options.method = "POST";
    options.headers["Content-Type"] = "application/json";
    options.body = JSON.stringify(body);
  }
  const reply = await fetch(path, options);
  const value = await reply.json();
  if (!reply.ok) throw new Error(value.error || reply.statusText);
  return value;
}

function element(tag, className, text) {
  const node = document.createElement(tag);
  if (className) node.className = className;
  if (text !== undefined) node.textContent = text;
  return node;
}

function lineElements(container, text) {
  container.replaceChildren();
  text.split("\n").forEach((line, number) => {
    const row = element("div", "line");
    row.dataset.line = String(number);
    row.append(element("span", "no", String(number + 1)), element("span", "text", line));
    container.append(row);
  });
}

// ---- the template and its variables ---------------------------------------------

// Reads the template at `path` from the server and shows its text.
async function load(path) {
  const template = await api(`/api/template?path=${encodeURIComponent(path)}`);
  Object.assign(state, { path, text: template.text, mtime: template.mtime, inputs: template.inputs });
  lineElements($("source"), template.text);
  return template;
}

async function open(path) {
  const template = await load(path);
  $("editor").value = template.text;
  $("vars").value = template.variables;
  $("vars-origin").textContent = template.variables_origin;
  $("format").value = "json";
  if (!$("form").hidden) buildForm();
  changed();
}

function changed() {
  state.changedAt = performance.now();
  clearTimeout(state.timer);
  state.timer = setTimeout(renderNow, DEBOUNCE_MS);
}

async function renderNow() {
  const sequence = ++state.sequence;
  const startedAt = state.changedAt;
  let result;
  try {
    result = await api("/api/render", {
      path: state.path, text: state.scratch ? $("editor").value : null,
      variables: $("vars").value, format: $("format").value,
    });
  } catch (error) {
    $("status").textContent = error.message;
    return;
  }
  if (sequence !== state.sequence) return;  // a newer render is on its way
  state.result = result;
  show(result);
  state.renders += 1;
  const latency = performance.now() - startedAt;
  document.body.dataset.renders = String(state.renders);
  document.body.dataset.latency = latency.toFixed(1);
  $("timing").textContent = result.elapsed_ms === undefined ? "" :
    `compiled in ${result.elapsed_ms} ms, on screen in ${latency.toFixed(0)} ms`;
}

// ---- the output -------------------------------------------------------------------

function show(result) {
  $("status").textContent = "";
  $("vars-error").hidden = result.variables_error === undefined;
  $("vars-error").textContent = result.variables_error || "";
  if (result.variables_error !== undefined) return;
  $("error").hidden = result.error === undefined;
  $("error-text").textContent = result.error ? result.error.shown : "";
  const markdown = result.kind === "markdown";
  $("rendered").innerHTML = markdown ? result.html : "";
  // The raw view is a line per element: built only when it is shown.
  lineElements($("raw"), markdown && state.view === "raw" ? result.raw : "");
  $("rendered").hidden = !markdown || state.view !== "rendered";
  $("raw").hidden = !markdown || state.view !== "raw";
  $("truncated").hidden = !result.truncated;
  $("truncated").textContent = result.truncated ?
    `Showing the first ${result.truncated.shown} bytes of ${result.truncated.total}.` : "";
  showMessages(result.messages || []);
  $("warnings").replaceChildren(...(result.warnings || []).map((text) => element("li", "", text)));
  $("lint").replaceChildren(...(result.lint || []).map((found) =>
    element("li", found.severity, `${found.severity} [${found.rule}] line ${found.line}: ${found.message}`)));
}

// Links in the output are not followed (the page would leave the preview):
// clicking one shows where it points.
function holdLink(event) {
  const link = event.target.closest ? event.target.closest("#rendered a") : null;
  if (!link) return;
  event.preventDefault();
  $("source-of").textContent = `link to ${link.getAttribute("href") || "(an address left out as unsafe)"}`;
}

function showMessages(messages) {
  $("messages").replaceChildren(...messages.map((message) => {
    const bubble = element("div", `message ${message.role}`);
    bubble.dataset.role = message.role;
    const size = `${message.role} · ${message.characters} characters, ${message.bytes} bytes` +
      (message.truncated ? " (shown in part)" : "");
    bubble.append(element("div", "meta", size), element("div", "content", message.content));
    return bubble;
  }));
}

// ---- output to source and back ------------------------------------------------------

// The output lines (0-based) a block came from: cmark's data-sourcepos
// ("first:column-last:column", 1-based), or a raw line's own number.
function outputLines(node) {
  if (node.dataset.sourcepos) {
    const [first, last] = node.dataset.sourcepos.split("-").map((place) => Number(place.split(":")[0]) - 1);
    return Array.from({ length: Math.max(last, first) - first + 1 }, (_, i) => first + i);
  }
  return node.dataset.line !== undefined ? [Number(node.dataset.line)] : [];
}

const BASE64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// For each output line, [source index, template line] of its first mapped
// piece (null for a line no template text made), from the source map's
// mappings (Base64 VLQ: a line's segments hold deltas of the generated
// column, then of the source, its line and column, and a name).
function decodeMappings(mappings) {
  const lines = [];
  const fields = [0, 0, 0, 0, 0];
  let field = 0, value = 0, shift = 0, first = null;
  const endSegment = () => {
    if (field >= 4 && first === null) first = [fields[1], fields[2]];
    field = 0;
  };
  for (let at = 0; at <= mappings.length; at++) {
    const char = at < mappings.length ? mappings[at] : ";";
    if (char === "," || char === ";") {
      endSegment();
      if (char === ";") {
        lines.push(first);
        first = null;
        fields[0] = 0;  // the generated column starts again on each line
      }
      continue;
    }
    const digit = BASE64.indexOf(char);
    value += (digit & 31) << shift;
    if (digit & 32) {
      shift += 5;
      continue;
    }
    const delta = value & 1 ? -(value >> 1) : value >> 1;
    if (field === 0) fields[0] = delta;
    else if (field < 5) fields[field] += delta;
    field += 1;
    value = 0;
    shift = 0;
  }
  return lines;
}

function lineSources() {
  const result = state.result;
  if (!result || result.mappings === undefined) return [];
  if (!result.lines) result.lines = decodeMappings(result.mappings);
  return result.lines;
}

// The template lines (of this template) some output lines came from; the
// module named when they came from another.
function sourcesOf(lines) {
  const result = state.result;
  const sources = lineSources();
  const found = new Set();
  let elsewhere = "";
  for (const line of lines) {
    const source = sources[line] || null;
    if (!source) continue;
    const module = result.sources[source[0]];
    if (module === state.path) found.add(source[1]);
    else elsewhere = `from ${module} line ${source[1] + 1}`;
  }
  return { found, elsewhere };
}

function mark(className, sourceLines, outputNodes) {
  for (const node of document.querySelectorAll(`.${className}`)) node.classList.remove(className);
  for (const line of sourceLines) {
    const row = $("source").querySelector(`.line[data-line="${line}"]`);
    if (row) row.classList.add(className);
  }
  for (const node of outputNodes) node.classList.add(className);
}

function outputNodeAt(target) {
  return target.closest ? target.closest("#rendered [data-sourcepos], #raw .line") : null;
}

function pointAtSource(event, className) {
  const node = outputNodeAt(event.target);
  if (!node) return;
  const { found, elsewhere } = sourcesOf(outputLines(node));
  mark(className, found, [node]);
  $("source-of").textContent = elsewhere;
  if (className === "picked" && found.size) {
    $("source").querySelector(`.line[data-line="${Math.min(...found)}"]`).scrollIntoView({ block: "nearest" });
  }
}

function pointAtOutput(event) {
  const row = event.target.closest ? event.target.closest("#source .line") : null;
  if (!row || !state.result || state.result.mappings === undefined) return;
  const wanted = Number(row.dataset.line);
  const nodes = [...document.querySelectorAll("#rendered [data-sourcepos], #raw .line")].filter((node) =>
    sourcesOf(outputLines(node)).found.has(wanted));
  // The innermost blocks only: the items of a list, not the whole list.
  mark("lit", [wanted], nodes.filter((node) => !nodes.some((other) => other !== node && node.contains(other))));
}

// ---- the variables form -------------------------------------------------------------

function currentVariables() {
  try {
    return $("format").value === "json" ? JSON.parse($("vars").value || "{}") : null;
  } catch {
    return null;
  }
}

function field(node, value, onChange) {
  const types = node.types;
  const children = node.children.filter((child) => child.name !== "[]" && child.name !== "{}");
  const elements = node.children.find((child) => child.name === "[]");
  if (types.includes("array") && elements) {
    const group = element("fieldset");
    group.append(element("legend", "", `${node.name} (list)`));
    const items = Array.isArray(value) ? value : [];
    const list = element("div");
    const redraw = () => {
      list.replaceChildren(...items.map((item, at) => {
        const row = element("div", "item");
        row.append(field({ ...elements, name: `${node.name}[${at}]` }, item, (next) => { items[at] = next; onChange(items); }));
        const remove = element("button", "", "Remove");
        remove.addEventListener("click", () => { items.splice(at, 1); redraw(); onChange(items); });
        row.append(remove);
        return row;
      }));
    };
    const add = element("button", "", "Add");
    add.addEventListener("click", () => { items.push(null); redraw(); onChange(items); });
    redraw();
    group.append(list, add);
    return group;
  }
  if (types.includes("object") && children.length) {
    const group = element("fieldset");
    group.append(element("legend", "", node.name));
    const object = value && typeof value === "object" && !Array.isArray(value) ? value : {};
    for (const child of children) {
      group.append(field(child, object[child.name], (next) => { object[child.name] = next; onChange(object); }));
    }
    return group;
  }
  const label = element("label", "", `${node.name} `);
  const input = element("input");
  if (types.length === 1 && types[0] === "boolean") {
    input.type = "checkbox";
    input.checked = Boolean(value);
    input.addEventListener("change", () => onChange(input.checked));
  } else if (types.length === 1 && types[0] === "number") {
    input.type = "number";
    input.value = value ?? "";
    input.addEventListener("input", () => onChange(input.value === "" ? null : Number(input.value)));
  } else {
    input.type = "text";
    input.value = value ?? "";
    input.addEventListener("input", () => onChange(input.value));
  }
  input.title = node.uses.join(", ");
  label.append(input);
  return label;
}

function buildForm() {
  const values = currentVariables() || {};
  $("form").replaceChildren(...state.inputs.map((node) => field(node, values[node.name], (next) => {
    values[node.name] = next;
    $("format").value = "json";
    $("vars").value = JSON.stringify(values, null, 2);
    changed();
  })));
}

// ---- wiring -------------------------------------------------------------------------

async function poll() {
  if (state.path && !state.scratch) {
    try {
      const { mtime } = await api(`/api/stat?path=${encodeURIComponent(state.path)}`);
      if (mtime !== state.mtime) {
        await load(state.path);
        changed();
      }
    } catch (error) {
      $("status").textContent = error.message;
    }
  }
  setTimeout(poll, POLL_MS);
}

function setView(view) {
  state.view = view;
  $("view-rendered").classList.toggle("active", view === "rendered");
  $("view-raw").classList.toggle("active", view === "raw");
  if (state.result) show(state.result);
}

async function save() {
  try {
    const saved = await api("/api/save", { path: state.path, text: $("editor").value });
    state.mtime = saved.mtime;
    $("status").textContent = `saved ${saved.saved}`;
  } catch (error) {
    $("status").textContent = error.message;
  }
}

async function start() {
  const { templates, writable } = await api("/api/templates");
  state.writable = writable;
  $("template").replaceChildren(...templates.map((path) => {
    const option = element("option", "", path);
    option.value = path;
    return option;
  }));
  $("template").addEventListener("change", () => open($("template").value));
  $("scratch").addEventListener("change", () => {
    state.scratch = $("scratch").checked;
    $("editor").hidden = !state.scratch;
    $("source").hidden = state.scratch;
    $("save").hidden = !(state.scratch && state.writable);
    if (!state.scratch) $("editor").value = state.text;
    changed();
  });
  $("editor").addEventListener("input", () => { lineElements($("source"), $("editor").value); changed(); });
  $("vars").addEventListener("input", changed);
  $("format").addEventListener("change", changed);
  $("form-toggle").addEventListener("click", () => {
    $("form").hidden = !$("form").hidden;
    $("vars").hidden = !$("form").hidden;
    if (!$("form").hidden) buildForm();
  });
  $("save").addEventListener("click", save);
  $("view-rendered").addEventListener("click", () => setView("rendered"));
  $("view-raw").addEventListener("click", () => setView("raw"));
  $("output-pane").addEventListener("mouseover", (event) => pointAtSource(event, "lit"));
  $("output-pane").addEventListener("click", (event) => { holdLink(event); pointAtSource(event, "picked"); });
  $("source").addEventListener("mouseover", pointAtOutput);
  if (templates.length) await open(templates[0]);
  setTimeout(poll, POLL_MS);
}

start().catch((error) => { $("status").textContent = error.message; });
