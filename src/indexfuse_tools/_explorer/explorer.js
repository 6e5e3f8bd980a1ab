// The explorer's page: the weights, the table of every unit, and one unit's profile.
//
// What is written by hand here is what no library does for this page: the
// model's arithmetic (re-weighting with the same renormalisation as
// set_weights, contributions from the coefficient records; the composites
// and ranks themselves are engine.js's), and a table that holds a quarter
// of a million units. The table draws only the rows in view, as the reader
// scrolls, inside one real <table> whose sticky head labels every cell.
// DataTables was tried for this: in its scrolling mode it splits the head
// into a table of its own (screen readers then lose the heading of each
// cell), its server-side scrolling leaves rows stale while it waits, and
// its set-up took about 0.85 s of the 3 s a page of 242,335 units may take
// to open; all its searching and sorting was this page's own code already.
//
// Every label reaches the page as text (textContent, never markup) and is
// isolated from the text around it (<bdi>, dir="auto", or U+2068/U+2069 in
// plain-text attributes), so that a label in a right-to-left script, or one
// ending in a direction override, leaves the rest of its line as it is.
//
// For a companion panel (a map of the units, say), the page offers:
// - #explorer-panel, an empty section in the layout under the table,
//   hidden until the companion fills it and sets hidden = false;
// - the event "indexfuse:scores" on document, fired once the published
//   scores are known and again whenever the weights move, with detail
//   {composite, rank, score, weights, published}: the arrays over every
//   unit in the page's order (Float64Array; score null without a scale),
//   the weights by dimension, and whether they are the published ones;
// - window.indexfuseExplorer: ready (a promise, resolved once the table
//   answers), units() (the labels, in order), scores() (the latest detail
//   of that event), dimensions() ({name, values} per weighted dimension,
//   values before weight and direction), openProfile(position) and
//   findUnit(label) (a label's position, or -1), settled() (a promise,
//   resolved once the page has done all it was asked), and the data
//   document itself as data.
// A companion's elements come after this script (the map's, with
// page.render(map_data=...)), so that it may use all of these at once; the
// arrays are the page's own and must not be changed.
"use strict";

(function () {
  const data = JSON.parse(document.getElementById("explorer-data").textContent);
  const columnElement = document.getElementById("explorer-columns");
  const n = data.count;
  const dims = data.dimensions;

  let columnText = columnElement.textContent;
  let column = self.indexfuseColumns(columnText);

  // ------------------------------------------------------------ arithmetic --

  // math.fsum (Shewchuk's algorithm, with CPython's final rounding step):
  // set_weights divides by this total, so the page's weights equal Python's
  // to the last bit.
  function fsum(numbers) {
    const partials = [];
    for (let x of numbers) {
      let i = 0;
      for (let y of partials) {
        if (Math.abs(x) < Math.abs(y)) [x, y] = [y, x];
        const hi = x + y;
        const lo = y - (hi - x);
        if (lo) partials[i++] = lo;
        x = hi;
      }
      partials.length = i;
      partials.push(x);
    }
    let k = partials.length;
    let hi = 0;
    let lo = 0;
    if (k > 0) {
      hi = partials[--k];
      while (k > 0) {
        const x = hi;
        const y = partials[--k];
        hi = x + y;
        lo = y - (hi - x);
        if (lo) break;
      }
      if (k > 0 && ((lo < 0 && partials[k - 1] < 0) || (lo > 0 && partials[k - 1] > 0))) {
        const y = lo * 2;
        const x = hi + y;
        if (y === x - hi) hi = x;
      }
    }
    return hi;
  }

  function normalised(given) {
    const total = fsum(given);
    return given.map((w) => w / total);
  }

  // What scaling does to one value, as the model's records say.
  function scaled(x, record) {
    if (data.scaleMethod === "z_score") return record.std ? (x - record.mean) / record.std : 0;
    const width = record.max - record.min;
    return width ? (x - record.min) / width : 0;
  }

  // ----------------------------------------------------- the weight tree --

  const nodes = [];
  function index(branches, parent) {
    const ids = [];
    for (const branch of branches) {
      const id = nodes.length;
      const node = { id, parent, label: branch.label, effect: branch.effect, leaf: branch.leaf, children: null };
      nodes.push(node);
      if (branch.children) node.children = index(branch.children, id);
      ids.push(id);
    }
    return ids;
  }
  const roots = index(data.tree, null);
  function firstLeaf(node) {
    return node.children ? firstLeaf(nodes[node.children[0]]) : node.leaf;
  }
  // Directions: each key's own, read from its leaves' paths (a model of one
  // dimension has no key, and so no direction).
  for (const node of nodes) {
    let depth = 0;
    for (let p = node.parent; p !== null; p = nodes[p].parent) depth++;
    node.direction = dims[firstLeaf(node)].directions[depth] ?? 1;
  }
  function branchesOf(ids) {
    return ids.map((id) => {
      const node = nodes[id];
      return { leaf: node.leaf, direction: node.direction, children: node.children && branchesOf(node.children) };
    });
  }
  const siblingsOf = (node) => (node.parent === null ? roots : nodes[node.parent].children);
  const published = dims.map((d) => d.weight);
  const leafSign = dims.map((d) => d.directions.reduce((p, x) => p * x, 1));

  let shares = new Float64Array(nodes.length);
  let weights = published.slice();

  function leafTotal(node, leafWeights) {
    if (!node.children) return leafWeights[node.leaf];
    return node.children.reduce((sum, id) => sum + leafTotal(nodes[id], leafWeights), 0);
  }

  // Each dimension's share of its parent, from weights of the whole index.
  function sharesFrom(leafWeights) {
    const result = new Float64Array(nodes.length);
    for (const node of nodes) {
      const level = siblingsOf(node);
      const total = level.reduce((sum, id) => sum + leafTotal(nodes[id], leafWeights), 0);
      result[node.id] = total > 0 ? leafTotal(node, leafWeights) / total : 1 / level.length;
    }
    return result;
  }

  // The weights set_weights is given: each dimension's share of the whole,
  // the product of the shares on its way down.
  function given() {
    return dims.map((_, leaf) => {
      let node = nodes.find((candidate) => candidate.leaf === leaf);
      let product = 1;
      for (; node; node = node.parent === null ? null : nodes[node.parent]) product *= shares[node.id];
      return product;
    });
  }

  function differs() {
    return weights.some((w, i) => Math.abs(w - published[i]) > 1e-12);
  }

  // ------------------------------------------------------------ formats --

  const plain = (text) => (/^-0\.?0*$/.test(text) ? text.slice(1) : text);
  const fixed = (x, digits) => (Number.isFinite(x) ? plain(x.toFixed(digits)) : "–");
  const signed = (x, digits) => (Number.isFinite(x) && x > 0 && fixed(x, digits) !== fixed(0, digits) ? "+" : "") + fixed(x, digits);
  const significant = new Intl.NumberFormat("en", { maximumSignificantDigits: 4 });
  const number = (x) => (Number.isFinite(x) ? plain(significant.format(x)) : "–");
  const rankText = (r) => (Number.isFinite(r) ? (Number.isInteger(r) ? String(r) : r.toFixed(1)) : "–");
  const percent = (x) => fixed(100 * x, 1) + "%";
  const count = new Intl.NumberFormat("en");
  // Python's "{:.4g}": the figure a scale's sentence gives of its ends.
  function general(x) {
    if (x === 0) return "0";
    const exponent = Math.floor(Math.log10(Math.abs(Number(x.toPrecision(4)))));
    if (exponent < -4 || exponent >= 4) {
      const [mantissa, power] = x.toExponential(3).split("e");
      const digits = mantissa.replace(/\.?0+$/, "");
      const sign = power[0] === "-" ? "-" : "+";
      return digits + "e" + sign + power.slice(1).padStart(2, "0");
    }
    return plain(x.toFixed(Math.max(0, 3 - exponent)).replace(/(\.\d*?)0+$/, "$1").replace(/\.$/, ""));
  }

  // A label inside plain text (an attribute, a tooltip), kept apart from its neighbours' direction.
  const isolated = (label) => "\u2068" + label + "\u2069";

  function element(tag, text, className) {
    const made = document.createElement(tag);
    if (text !== undefined && text !== null) made.textContent = text;
    if (className) made.className = className;
    return made;
  }
  // A label as an element of a line: its direction its own.
  const bdi = (label, className) => element("bdi", label, className);

  // -------------------------------------------------------- the controls --

  const controls = {};
  function controlRow(node, container, depth) {
    const row = element("div", null, "weight-row");
    row.style.setProperty("--depth", depth);
    const id = "weight-" + node.id;
    const label = element("label");
    label.append(bdi(node.label));
    label.htmlFor = id;
    if (node.direction < 0) label.append(element("span", node.effect, "pill lowers"));
    const parentLabel = node.parent === null ? "the index" : isolated(nodes[node.parent].label);
    const slider = Object.assign(document.createElement("input"), { type: "range", id, min: 0, max: 100, step: 0.1 });
    const box = Object.assign(document.createElement("input"), { type: "number", min: 0, max: 100, step: 0.1 });
    box.setAttribute("aria-label", isolated(node.label) + ": share of " + parentLabel + ", percent");
    slider.setAttribute("aria-describedby", id + "-whole");
    const whole = element("span", "", "whole");
    whole.id = id + "-whole";
    const alone = siblingsOf(node).length < 2;
    slider.disabled = box.disabled = alone;
    slider.addEventListener("input", () => move(node, Number(slider.value)));
    box.addEventListener("change", () => {
      const value = Number(box.value);
      if (box.value !== "" && Number.isFinite(value)) move(node, Math.min(100, Math.max(0, value)));
      else show();
    });
    const inputs = element("div", null, "weight-inputs");
    inputs.append(slider, box, element("span", "%", "unit-sign"));
    row.append(label, inputs, whole);
    container.append(row);
    controls[node.id] = { slider, box, whole };
    if (node.children) {
      const group = element("div", null, "nested");
      group.setAttribute("role", "group");
      group.setAttribute("aria-label", "Within " + isolated(node.label));
      for (const child of node.children) controlRow(nodes[child], group, depth + 1);
      container.append(group);
    }
  }
  const controlBox = document.getElementById("weight-controls");
  for (const id of roots) controlRow(nodes[id], controlBox, 0);

  function move(node, percentValue) {
    const share = percentValue / 100;
    const others = siblingsOf(node).filter((id) => id !== node.id);
    const before = others.reduce((sum, id) => sum + shares[id], 0);
    for (const id of others) shares[id] = before > 0 ? (shares[id] * (1 - share)) / before : (1 - share) / others.length;
    shares[node.id] = share;
    weights = normalised(given());
    show();
    remember();
    ask();
  }

  function reset() {
    shares = sharesFrom(published);
    weights = published.slice();
    show();
    remember();
    ask();
  }

  function show() {
    for (const node of nodes) {
      const control = controls[node.id];
      const value = (100 * shares[node.id]).toFixed(1);
      control.slider.value = value;
      control.box.value = value;
      const part = leafTotal(node, weights);
      control.whole.textContent = node.parent === null ? "" : percent(part) + " of the index";
    }
    const changed = differs();
    const note = document.getElementById("weights-note");
    note.hidden = !changed;
    note.textContent = changed
      ? "These are not the published weights: composites and ranks are computed again with the weights above."
      : "";
    document.getElementById("reset").disabled = !changed;
  }

  // ------------------------------------------------ the page's address --

  let units = null; // the labels, once decoded
  let selected = null;

  // The address keeps the weights ("w:" and a dimension's name, its share of
  // the whole) and the unit shown ("unit"), so that a reader can share both.
  function remember() {
    const entries = [];
    if (differs()) {
      const whole = given();
      dims.forEach((d, k) => entries.push(["w:" + d.name, String(whole[k])]));
    }
    if (selected !== null && units) entries.push(["unit", units[selected]]);
    const fragment = entries.length ? "#" + new URLSearchParams(entries).toString() : "";
    if (fragment !== location.hash) history.replaceState(null, "", location.pathname + location.search + fragment);
  }

  function readAddress() {
    const found = new URLSearchParams(location.hash.slice(1));
    const named = dims.map((d) => found.get("w:" + d.name));
    let read = null;
    let unreadable = false;
    if (named.some((value) => value !== null)) {
      read = named.map((value) => (value === null || value.trim() === "" ? NaN : Number(value)));
      unreadable = read.some((w) => !Number.isFinite(w) || w < 0) || fsum(read) <= 0;
    }
    const unit = found.has("unit") ? found.get("unit") : null;
    return { weights: unreadable ? null : read && normalised(read), unreadable, unit };
  }

  function applyAddress() {
    const read = readAddress();
    shares = sharesFrom(read.weights || published);
    weights = read.weights ? normalised(given()) : published.slice();
    show();
    remember();
    const note = document.getElementById("weights-note");
    if (read.unreadable) {
      note.hidden = false;
      note.textContent = "The weights in this page's address could not be read: the published weights are shown.";
    }
    return read.unit;
  }

  // ------------------------------------------------------------ scores --

  let publishedComposite = null;
  let publishedRank = null;
  let composite = null;
  let rank = null;
  let score = null;
  let scaleEnds = null;

  // The 0..100 map: the published one, or, when the scale follows the
  // units scored, fixed again on the composites of the weights set.
  function presented() {
    const scale = data.scale;
    if (!scale) return null;
    let low = scale.low;
    let high = scale.high;
    let units = scale.units;
    if (scale.follows && composite !== publishedComposite) {
      low = Infinity;
      high = -Infinity;
      units = 0;
      for (let i = 0; i < n; i++) {
        const x = composite[i];
        if (x === x) {
          if (x < low) low = x;
          if (x > high) high = x;
          units++;
        }
      }
      if (!units) return null;
    }
    // As Presentation.apply: divided by the span, so that the highest is exactly 100.
    const span = high - low;
    const values = new Float64Array(n);
    if (span > 0) for (let i = 0; i < n; i++) values[i] = ((composite[i] - low) / span) * 100 + 0;
    else for (let i = 0; i < n; i++) values[i] = (composite[i] - low) * 0 + 0;
    return { values, low, high, units };
  }

  function scaleSentence() {
    if (!data.scale) return "";
    if (!scaleEnds) return "Composite on a 0-100 scale: no unit has a composite to fix the scale on.";
    if (composite === publishedComposite || !data.scale.follows) return data.scale.sentence;
    return "Composite on a 0-100 scale: 0 is the lowest composite of the " + count.format(scaleEnds.units) +
      " units scored (" + general(scaleEnds.low + 0) + "), 100 the highest (" + general(scaleEnds.high + 0) + ").";
  }

  function announce() {
    const detail = {
      composite,
      rank,
      score,
      weights: Object.fromEntries(dims.map((d, k) => [d.name, weights[k]])),
      published: composite === publishedComposite,
    };
    lastScores = detail;
    document.dispatchEvent(new CustomEvent("indexfuse:scores", { detail }));
  }
  let lastScores = null;

  // ---------------------------------------------------------- the engine --

  // The engine answers in a worker where the browser allows one; its
  // answers come back in the order asked, and while one is being worked
  // out the page only remembers that it has more to ask.
  let engine = null;
  let asking = false;
  let askAgain = false;
  const waiting = [];
  let pending = 0; // profiles and other work not yet on screen

  // The engine in a worker: each request answered by the message of its id.
  function startWorker(start) {
    return new Promise((resolve, reject) => {
      const source = document.getElementById("explorer-engine").textContent;
      const address = URL.createObjectURL(new Blob([source], { type: "text/javascript" }));
      let worker;
      try {
        worker = new Worker(address);
      } catch (error) {
        URL.revokeObjectURL(address);
        reject(error);
        return;
      }
      const answers = new Map();
      let next = 0;
      const request = (message) =>
        new Promise((answer) => {
          answers.set(++next, answer);
          worker.postMessage({ ...message, id: next });
        });
      const fail = (error) => {
        URL.revokeObjectURL(address);
        worker.terminate();
        reject(error);
      };
      worker.onerror = (event) => {
        event.preventDefault();
        fail(new Error(event.message));
      };
      // A worker that has not started within five seconds is not coming: in a
      // headless browser's virtual time, where pictures of the page are
      // taken, it never reads its columns.
      const late = setTimeout(() => fail(new Error("the worker did not start")), 5000);
      worker.onmessage = (event) => {
        const message = event.data;
        if (message.type === "start") {
          clearTimeout(late);
          URL.revokeObjectURL(address);
          resolve({ result: message, request, inWorker: true });
        } else if (message.type === "failed") {
          fail(new Error(message.message));
        } else {
          answers.get(message.id)(message);
          answers.delete(message.id);
        }
      };
      worker.postMessage({ type: "start", id: 0, ...start });
    });
  }

  // The same engine in the page, for a browser that refuses the worker.
  async function startHere(start) {
    const here = await self.indexfuseEngine(column, start.data, start.folding, start.published);
    return {
      result: here.start(),
      // Answered later, as a worker would, so that a run of inputs is coalesced.
      request: (message) =>
        new Promise((answer) =>
          setTimeout(async () => {
            try {
              answer(message.type === "view" ? await here.view(message) : await here.unit(message.position));
            } catch (error) {
              answer({ error: String(error) });
            }
          }, 0)
        ),
    };
  }

  function ask() {
    if (!engine) return;
    if (asking) {
      askAgain = true;
      return;
    }
    asking = true;
    engine.request({ type: "view", weights: differs() ? weights.slice() : null, search: searchText, sort }).then(answered);
  }

  function answered(answer) {
    asking = false;
    if (answer.error) {
      trouble("The page could not do that: " + answer.error);
      askAgain = false;
      settle();
      return;
    }
    if (answer.composite) {
      composite = answer.published ? publishedComposite : answer.composite;
      rank = answer.published ? publishedRank : answer.rank;
      const shown = presented();
      score = shown && shown.values;
      scaleEnds = shown;
      document.getElementById("scale-note").textContent = scaleSentence();
      layColumns();
      announce();
    }
    rows = answer.view;
    found();
    draw(true);
    if (selected !== null && answer.composite) profile(selected);
    if (askAgain) {
      askAgain = false;
      ask();
    } else settle();
  }

  function settle() {
    if (asking || askAgain || pending) return;
    while (waiting.length) waiting.shift()();
  }
  const settled = () => new Promise((resolve) => {
    waiting.push(resolve);
    settle();
  });

  // ---------------------------------------------------------- the table --

  const table = document.getElementById("table");
  const head = table.querySelector("thead tr");
  const body = table.querySelector("tbody");
  const scroller = document.getElementById("table-scroll");
  let rows = new Uint32Array(0);
  let searchText = "";
  let sort = { key: "rank", descending: false };
  let intervals = null;
  let moves = null;

  const allColumns = [
    { title: "Unit", key: "unit" },
    { title: "Rank", key: "rank" },
    { title: "Composite", key: "composite" },
    // Word joiners keep "(0–100)" on one line when the heading wraps.
    ...(data.scale ? [{ title: "Score (0\u2060–\u2060100)", key: "score" }] : []),
    { title: "Published rank", key: "published" },
    ...dims.map((d, leaf) => ({ title: d.name, key: "dimension", leaf, label: true })),
    ...(data.intervals ? [{ title: "Rank, 5–95% over the alternatives", key: "interval" }] : []),
  ];
  let columns = [];

  function sameSort(column) {
    return sort.key === column.key && (column.key !== "dimension" || sort.leaf === column.leaf);
  }

  function cellText(column, i) {
    switch (column.key) {
      case "rank":
        return rankText(rank[i]);
      case "composite":
        return fixed(composite[i], 4);
      case "score":
        return fixed(score ? score[i] : NaN, 1);
      case "published":
        return rankText(publishedRank[i]);
      case "dimension":
        return fixed(dimensionValues[column.leaf][i], 3);
      default:
        return Number.isFinite(intervals.p5[i]) ? rankText(intervals.p5[i]) + "–" + rankText(intervals.p95[i]) : "–";
    }
  }

  // The columns shown: the published rank only while the weights differ.
  function layColumns() {
    const wanted = allColumns.filter((column) => column.key !== "published" || differs());
    if (wanted.length === columns.length && wanted.every((column, k) => column === columns[k])) return;
    columns = wanted;
    if (!columns.some(sameSort)) sort = { key: "rank", descending: false };
    head.replaceChildren(
      ...columns.map((column) => {
        const th = element("th");
        th.scope = "col";
        if (column.key !== "unit") th.className = "number";
        const button = element("button", null, "sort");
        button.type = "button";
        button.append(column.label ? bdi(column.title) : column.title, element("span", null, "arrow"));
        button.lastChild.setAttribute("aria-hidden", "true");
        button.addEventListener("click", () => sortBy(column));
        th.append(button);
        return th;
      })
    );
    delete head.dataset.held;
    head.setAttribute("aria-rowindex", "1");
    marks();
    pool.length = 0;
    draw(true);
  }

  function marks() {
    head.querySelectorAll("th").forEach((th, k) => {
      const on = sameSort(columns[k]);
      th.setAttribute("aria-sort", on ? (sort.descending ? "descending" : "ascending") : "none");
      th.querySelector(".arrow").textContent = on ? (sort.descending ? "▼" : "▲") : "";
    });
  }

  function sortBy(column) {
    const again = sameSort(column);
    sort = { key: column.key, leaf: column.leaf, descending: again ? !sort.descending : false };
    marks();
    ask();
  }

  // Rows are drawn from a pool as they scroll into view. Past ten million
  // pixels (where browsers stop drawing tall boxes) the scroll bar maps
  // onto the rows proportionally instead of one row height at a time.
  const TALLEST = 1e7;
  const pool = [];
  let rowHeight = 0;
  let drawnFrom = -1;
  const before = element("tr", null, "spacer");
  const after = element("tr", null, "spacer");
  before.setAttribute("aria-hidden", "true");
  after.setAttribute("aria-hidden", "true");

  function rowElement() {
    const tr = element("tr", null, "row");
    for (const column of columns) {
      if (column.key === "unit") {
        const th = element("th", null, "text");
        th.scope = "row";
        const button = element("button", null, "unit");
        button.type = "button";
        button.dir = "auto";
        th.append(button);
        tr.append(th);
      } else tr.append(element("td"));
    }
    return tr;
  }

  function fillRow(tr, i, position) {
    tr.setAttribute("aria-rowindex", String(position + 2));
    const cells = tr.cells;
    columns.forEach((column, k) => {
      if (column.key === "unit") {
        const button = cells[k].firstChild;
        button.textContent = units[i];
        button.title = isolated(units[i]);
        button.dataset.row = String(i);
      } else cells[k].textContent = cellText(column, i);
    });
  }

  function draw(changed) {
    if (!units || !composite) return;
    const total = rows.length;
    table.setAttribute("aria-rowcount", String(total + 1));
    if (!rowHeight) {
      const probe = rowElement();
      fillRow(probe, rows.length ? rows[0] : 0, 0);
      body.replaceChildren(probe);
      rowHeight = probe.getBoundingClientRect().height || 30;
    }
    const headHeight = table.tHead.getBoundingClientRect().height;
    const visible = Math.max(1, scroller.clientHeight - headHeight);
    const fit = Math.ceil(visible / rowHeight) + 1;
    const drawn = Math.min(total, fit + 2);
    const height = Math.min(total * rowHeight, TALLEST);
    const top = scroller.scrollTop;
    let exact;
    if (total * rowHeight <= TALLEST) exact = top / rowHeight;
    else exact = (top / Math.max(1, height - visible)) * Math.max(0, total - fit);
    const first = Math.max(0, Math.min(Math.floor(exact), total - drawn));
    if (!changed && first === drawnFrom) return;
    drawnFrom = first;
    const offset = total * rowHeight <= TALLEST ? first * rowHeight : Math.max(0, top - (exact - first) * rowHeight);
    const placed = Math.min(offset, Math.max(0, height - drawn * rowHeight));
    while (pool.length < drawn) pool.push(rowElement());
    const shown = [];
    for (let k = 0; k < drawn; k++) {
      fillRow(pool[k], rows[first + k], first + k);
      shown.push(pool[k]);
    }
    before.style.height = placed + "px";
    after.style.height = Math.max(0, height - placed - drawn * rowHeight) + "px";
    body.replaceChildren(before, ...shown, after);
    // The box grows with what it holds, up to its height: fill what it gained.
    if (scroller.clientHeight - headHeight > visible + 1) draw(true);
    // Columns keep the width of their first rows, so that scrolling on to
    // longer numbers widens a column without narrowing it back.
    if (drawn && !head.dataset.held) {
      head.dataset.held = "1";
      for (const th of head.cells) th.style.minWidth = th.getBoundingClientRect().width + "px";
    }
  }

  let drawQueued = false;
  scroller.addEventListener("scroll", () => {
    if (drawQueued) return;
    drawQueued = true;
    requestAnimationFrame(() => {
      drawQueued = false;
      draw(false);
    });
  });
  window.addEventListener("resize", () => draw(true));

  function found() {
    const status = document.getElementById("found");
    if (!searchText.trim()) status.textContent = count.format(n) + " units";
    else if (!rows.length) status.textContent = "No unit's name contains that.";
    else status.textContent = count.format(rows.length) + (rows.length === 1 ? " unit" : " units") + " found among " + count.format(n);
  }

  const search = document.getElementById("search");
  search.addEventListener("input", () => {
    searchText = search.value;
    scroller.scrollTop = 0;
    ask();
  });

  body.addEventListener("click", (event) => {
    const button = event.target.closest("button.unit");
    if (button) profile(Number(button.dataset.row), true);
  });

  // -------------------------------------------------------- the profile --

  let dimensionValues = null;
  let profileAsked = 0;

  // What a part adds, in words and as a bar from the middle: right raises, left lowers.
  function bar(value, largest, digits) {
    const cell = element("div", signed(value, digits), "adds");
    const track = element("div", null, "track");
    const fillBar = element("span", null, value < 0 ? "bar lowers" : "bar raises");
    const width = largest > 0 && Number.isFinite(value) ? (50 * Math.abs(value)) / largest : 0;
    fillBar.style.width = width + "%";
    fillBar.style[value < 0 ? "right" : "left"] = "50%";
    track.append(fillBar);
    cell.append(track);
    return cell;
  }

  function place(value, low, high) {
    const track = element("div", null, "range");
    if (Number.isFinite(value) && low !== null && high !== null) {
      const mark = element("span", null, "mark-dot");
      mark.style.left = (high > low ? (100 * (value - low)) / (high - low) : 50) + "%";
      track.append(mark);
    }
    const ends = element("div", number(low) + " … " + number(high), "ends");
    const cell = element("div");
    cell.append(track, ends);
    return cell;
  }

  function row(cells) {
    const tr = document.createElement("tr");
    cells.forEach((content, k) => {
      const td = element("td", typeof content === "string" ? content : null, k === 0 ? "text" : null);
      if (typeof content !== "string") td.append(content);
      tr.append(td);
    });
    return tr;
  }

  function labelled(name, sub) {
    const label = element("div");
    label.append(bdi(name), element("span", sub, "sub"));
    return label;
  }

  async function profile(i, focus) {
    selected = i;
    remember();
    const asked = ++profileAsked;
    pending++;
    try {
      const details = await engine.request({ type: "unit", position: i });
      if (details.error) trouble("The page could not show that unit: " + details.error);
      else if (asked === profileAsked) drawProfile(i, details, focus);
    } finally {
      pending--;
      settle();
    }
  }

  function drawProfile(i, details, focus) {
    const section = document.getElementById("profile");
    section.hidden = false;
    const heading = document.getElementById("profile-heading");
    heading.replaceChildren("Why ", bdi(units[i]), " ranks where it does");
    const ranked = publishedRank.reduce((m, r) => m + (Number.isFinite(r) ? 1 : 0), 0);
    let summary;
    if (Number.isFinite(composite[i])) {
      summary = "Rank " + rankText(rank[i]) + " of " + count.format(ranked) + ", composite " + fixed(composite[i], 4);
      if (score) summary += ", score " + fixed(score[i], 1);
      summary += ".";
      if (differs()) summary += " With the published weights: rank " + rankText(publishedRank[i]) + ", composite " + fixed(publishedComposite[i], 4) + ".";
    } else {
      summary = "No composite: the unit was left out by the data treatment, or a whole dimension is missing.";
    }
    if (intervals && Number.isFinite(intervals.p5[i])) {
      summary += " Over the alternative indices of the robustness analysis (published weights) its rank runs from " +
        rankText(intervals.p5[i]) + " to " + rankText(intervals.p95[i]) + " (5–95%), median " + rankText(intervals.median[i]) + ".";
      if (intervals.top && Number.isFinite(intervals.top[i])) {
        summary += " It ranks among the best tenth of the units in " + fixed(intervals.top[i], 0) + "% of them, and among the worst tenth in " +
          fixed(intervals.bottom[i], 0) + "%.";
      }
    }
    document.getElementById("profile-summary").textContent = summary;

    const adds = dims.map((d, leaf) => weights[leaf] * leafSign[leaf] * dimensionValues[leaf][i]);
    const largestDimension = Math.max(0, ...adds.map((x) => (Number.isFinite(x) ? Math.abs(x) : 0)));
    document.querySelector("#profile-dimensions tbody").replaceChildren(
      ...dims.map((d, leaf) => row([bdi(d.name), fixed(dimensionValues[leaf][i], 3), percent(weights[leaf]), bar(adds[leaf], largestDimension, 4)]))
    );

    const blank = !Number.isFinite(composite[i]);
    const terms = data.indicators.map((record) => {
      const x = details.scored[record.column];
      if (blank) return NaN;
      return Number.isNaN(x) ? 0 : scaled(x * record.direction, record) * record.coef * weights[record.leaf] * leafSign[record.leaf];
    });
    const largestTerm = Math.max(0, ...terms.map((x) => (Number.isFinite(x) ? Math.abs(x) : 0)));
    document.getElementById("profile-treated-head").hidden = !data.treated;
    document.querySelector("#profile-indicators tbody").replaceChildren(
      ...data.indicators.map((record, k) => {
        const entry = data.columns[record.column];
        const sign = record.direction * leafSign[record.leaf];
        const label = labelled(entry.label, "");
        label.lastChild.append(bdi(dims[record.leaf].name), sign < 0 ? ", lowers the index" : "");
        const value = details.raw[record.column];
        const cells = [label, number(value)];
        if (data.treated) cells.push(treatedCell(entry, value, details.scored[record.column], blank));
        cells.push(place(value, entry.low, entry.high), bar(terms[k], largestTerm, 4));
        return row(cells);
      })
    );
    trajectory(details.editions);
    moved(i);
    if (focus) {
      section.scrollIntoView({ block: "start" });
      heading.focus({ preventScroll: true });
    }
  }

  function treatedCell(entry, value, treated, blank) {
    const same = value === treated || (Number.isNaN(value) && Number.isNaN(treated));
    const cell = element("div", blank ? "–" : same ? "unchanged" : number(treated), same ? "same" : null);
    if (!same && !blank) cell.append(element("span", treatmentWords(entry.treatment || {}, value, treated), "sub"));
    return cell;
  }

  // What the treatment did to this value: filled, transformed, capped.
  function treatmentWords(steps, value, treated) {
    const words = [];
    if (Number.isNaN(value) && steps.fill) words.push("gap filled with " + steps.fill);
    if (steps.transform && !Number.isNaN(treated)) words.push(steps.transform);
    // A value the page holds as float32 meets its cap to float32's precision.
    const at = (cap) => cap !== null && Math.abs(treated - cap) <= 6e-8 * Math.abs(cap);
    const [low, high] = steps.caps || [null, null];
    if (at(low)) words.push("capped at " + number(low));
    if (at(high)) words.push("capped at " + number(high));
    return words.join("; ");
  }

  function trajectory(editions) {
    const box = document.getElementById("profile-trajectory");
    box.hidden = !data.editions;
    if (!data.editions) return;
    const periods = data.editions.periods;
    const points = periods.map((period, p) => ({ period, rank: editions.rank[p] }));
    const shown = [
      ["Composite", "composite", (x) => fixed(x, 4)],
      ["Score (0–100)", "score", (x) => fixed(x, 1)],
      ["Rank", "rank", rankText],
      ["Places gained", "rank_change", (x) => signed(x, 1).replace(/\.0$/, "")],
      ["Composite change", "composite_change", (x) => signed(x, 4)],
      ["Score change", "score_change", (x) => signed(x, 1)],
    ].filter(([, name]) => editions[name]);
    const headRow = document.querySelector("#trajectory-table thead tr");
    headRow.replaceChildren(...["Edition", ...shown.map(([title]) => title)].map((title) => element("th", title)));
    headRow.querySelectorAll("th").forEach((th) => (th.scope = "col"));
    document.querySelector("#trajectory-table tbody").replaceChildren(
      ...periods.map((period, p) => row([bdi(period), ...shown.map(([, name, text]) => text(editions[name][p]))]))
    );
    chart(points);
  }

  // The unit's move between the two editions of the robustness analysis, against the method's own uncertainty.
  function moved(i) {
    const note = document.getElementById("profile-move");
    note.hidden = !(moves && Number.isFinite(moves.low[i]));
    if (note.hidden) return;
    const places = (x) => signed(x, 1).replace(/\.0$/, "").replace("-", "−");
    const beyond = moves.low[i] > 0 || moves.high[i] < 0;
    note.replaceChildren(
      "Places gained from ", bdi(data.moves.since), " to ", bdi(data.moves.until),
      " over the runs of the robustness analysis: " + places(moves.low[i]) + " to " + places(moves.high[i]) + " (5–95%). The move is ",
      element("strong", data.moves.words[beyond ? 1 : 0]), "."
    );
  }

  function chart(points) {
    const drawn = points.filter((point) => Number.isFinite(point.rank));
    const box = document.getElementById("trajectory-chart");
    box.replaceChildren();
    if (drawn.length < 2) return;
    const count = points.length;
    const svgNs = "http://www.w3.org/2000/svg";
    const svg = document.createElementNS(svgNs, "svg");
    const width = 360;
    const height = 130;
    svg.setAttribute("viewBox", "0 0 " + width + " " + height);
    svg.setAttribute("role", "img");
    svg.setAttribute("aria-label", "Rank over the editions, best at the top; the table below gives the numbers");
    // Rank 1 is at the top; the scale spans this unit's own ranks, one rank of room on each side.
    const best = Math.min(...drawn.map((point) => point.rank)) - 1;
    const worst = Math.max(...drawn.map((point) => point.rank)) + 1;
    const x = (p) => 30 + (count > 1 ? (p * (width - 60)) / (count - 1) : 0);
    const y = (r) => 22 + ((r - best) * (height - 52)) / (worst - best);
    function text(content, at, top, className) {
      const made = document.createElementNS(svgNs, "text");
      made.textContent = content;
      made.setAttribute("x", at);
      made.setAttribute("y", top);
      made.setAttribute("text-anchor", "middle");
      made.setAttribute("class", className);
      return made;
    }
    const line = document.createElementNS(svgNs, "polyline");
    line.setAttribute("points", points.map((point, p) => (Number.isFinite(point.rank) ? x(p) + "," + y(point.rank) : "")).filter(Boolean).join(" "));
    line.setAttribute("class", "trajectory");
    svg.append(line);
    points.forEach((point, p) => {
      svg.append(text(isolated(point.period), x(p), height - 6, "period"));
      if (!Number.isFinite(point.rank)) return;
      const dot = document.createElementNS(svgNs, "circle");
      dot.setAttribute("cx", x(p));
      dot.setAttribute("cy", y(point.rank));
      dot.setAttribute("r", 3.5);
      svg.append(dot, text(rankText(point.rank), x(p), y(point.rank) - 8, "rank"));
    });
    box.append(svg);
  }

  // ------------------------------------------------------------ start --

  function trouble(text) {
    const note = document.getElementById("page-problem");
    note.hidden = false;
    note.textContent = text;
  }

  async function start() {
    if (typeof DecompressionStream === "undefined") {
      trouble("This browser cannot read this page's data: open it in a browser from 2023 or later.");
      throw new Error("DecompressionStream is not available");
    }
    const setup = { text: columnText, data, folding: branchesOf(roots), published };
    const started = startWorker(setup).catch(() => startHere(setup));
    // The page reads the labels while the engine reads the dimension values and ranks.
    const [labels, p5, median, p95, top, bottom, low, high] = await Promise.all([
      column(data.units),
      data.intervals ? column(data.intervals.p5) : null,
      data.intervals ? column(data.intervals.median) : null,
      data.intervals ? column(data.intervals.p95) : null,
      data.intervals && data.intervals.top ? column(data.intervals.top) : null,
      data.intervals && data.intervals.bottom ? column(data.intervals.bottom) : null,
      data.moves ? column(data.moves.low) : null,
      data.moves ? column(data.moves.high) : null,
    ]);
    units = labels;
    intervals = p5 && { p5, median, p95, top, bottom };
    moves = low && { low, high };
    engine = await started;
    if (engine.inWorker) {
      // The worker holds the columns now: the page lets its copies go.
      column = null;
      columnText = null;
      setup.text = null;
      columnElement.textContent = "";
    }
    dimensionValues = engine.result.values;
    publishedComposite = engine.result.publishedComposite;
    publishedRank = engine.result.publishedRank;
    composite = publishedComposite;
    rank = publishedRank;
    const shown = presented();
    score = shown && shown.values;
    scaleEnds = shown;
    const ranked = publishedRank.reduce((m, r) => m + (Number.isFinite(r) ? 1 : 0), 0);
    document.getElementById("units-note").textContent =
      count.format(n) + " units, " + count.format(ranked) + " with a composite. Rank 1 is the highest composite; tied units share the average rank. " +
      "Dimension values are before their weight and direction.";
    const scaleNote = document.getElementById("scale-note");
    scaleNote.hidden = !data.scale;
    scaleNote.textContent = scaleSentence();
    layColumns();
    const unit = applyAddress();
    // The first view: the published weights, or those of the address.
    await new Promise((resolve) => {
      waiting.push(resolve);
      ask();
    });
    document.getElementById("units").setAttribute("aria-busy", "false");
    document.documentElement.dataset.ready = "1";
    performance.mark("interactive");
    api.drawn = performance.now();
    if (unit !== null) {
      const position = units.indexOf(unit);
      if (position >= 0) profile(position);
    }
  }

  document.getElementById("reset").addEventListener("click", reset);
  // A reader who edits the address asks for what it says; the page's own
  // updates replace the address without this event.
  window.addEventListener("hashchange", () => {
    const unit = applyAddress();
    ask();
    if (unit !== null && units) {
      const position = units.indexOf(unit);
      if (position >= 0) profile(position);
    }
  });

  const api = {
    data,
    ready: null,
    drawn: null,
    settled,
    units: () => units,
    scores: () => lastScores,
    dimensions: () => dims.map((d, leaf) => ({ name: d.name, values: dimensionValues && dimensionValues[leaf] })),
    openProfile: (position) => profile(position, true),
    findUnit: (label) => (units ? units.indexOf(label) : -1),
    // For the page's own tests and for anyone scripting the page.
    given: () => Object.fromEntries(dims.map((d, k) => [d.name, given()[k]])),
    weights: () => Object.fromEntries(dims.map((d, k) => [d.name, weights[k]])),
    composite: () => Array.from(composite),
    rank: () => Array.from(rank),
  };
  window.indexfuseExplorer = api;
  // The published weights at once; the address is read once the units are.
  shares = sharesFrom(published);
  show();
  api.ready = start().catch((error) => {
    if (document.getElementById("page-problem").hidden) trouble("The page could not be drawn: " + error.message);
    throw error;
  });
})();
