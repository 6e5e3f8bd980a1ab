// The explorer's own code. The table (sorting, searching, paging, keyboard
// and screen-reader support) is DataTables'; what is written by hand here is
// what no library has: the model's arithmetic (re-weighting with the same
// renormalisation as set_weights, the composite folded as the model folds
// its dimensions, ranks as pandas averages ties, contributions from the
// coefficient records) and the profile of one unit. Every label reaches the
// page through textContent, never as markup.
"use strict";

(function () {
  const data = JSON.parse(document.getElementById("explorer-data").textContent);
  const n = data.units.length;
  const dims = data.dimensions;

  function bytesOf(text) {
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
  }
  function decode(text, Type) {
    return new Type(bytesOf(text).buffer);
  }
  const values = dims.map((d) => decode(d.values, Float64Array));
  // The raw values are read only for a unit's profile: decoded when first asked for.
  const rawColumns = [];
  const raw = (column) => (rawColumns[column] ||= decode(data.columns[column].values, Float32Array));
  const intervals = data.intervals && {
    p5: decode(data.intervals.p5, Float32Array),
    median: decode(data.intervals.median, Float32Array),
    p95: decode(data.intervals.p95, Float32Array),
  };
  const editions = data.editions && {
    periods: data.editions.periods,
    composite: decode(data.editions.composite, Float64Array),
    rank: decode(data.editions.rank, Float32Array),
  };

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

  // The composite as the model folds it: a nested dimension adds up its
  // sub-dimensions (weight times value), then enters its parent with its
  // direction.
  function fold(branches, weights) {
    let sum = null;
    for (const branch of branches) {
      let part;
      if (branch.children) {
        part = fold(branch.children, weights);
      } else {
        const w = weights[branch.leaf];
        const v = values[branch.leaf];
        part = new Float64Array(n);
        for (let i = 0; i < n; i++) part[i] = w * v[i];
      }
      const direction = branch.direction;
      if (direction !== 1) for (let i = 0; i < n; i++) part[i] *= direction;
      if (sum === null) sum = part;
      else for (let i = 0; i < n; i++) sum[i] += part[i];
    }
    return sum || new Float64Array(n).fill(NaN);
  }

  // 1 for the highest composite, ties sharing their average rank, NaN where
  // the composite is NaN: pandas' rank(ascending=False, method="average").
  function ranks(composite) {
    const order = [];
    for (let i = 0; i < n; i++) if (!Number.isNaN(composite[i])) order.push(i);
    order.sort((a, b) => composite[b] - composite[a]);
    const rank = new Float64Array(n).fill(NaN);
    for (let k = 0; k < order.length; ) {
      let j = k;
      while (j + 1 < order.length && composite[order[j + 1]] === composite[order[k]]) j++;
      const shared = (k + j) / 2 + 1;
      for (let t = k; t <= j; t++) rank[order[t]] = shared;
      k = j + 1;
    }
    return rank;
  }

  // What scaling does to one raw value, as the model's records say.
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
  // Directions: each key's own, read from its leaves' paths (a model of one
  // dimension has no key, and so no direction).
  for (const node of nodes) {
    let depth = 0;
    for (let p = node.parent; p !== null; p = nodes[p].parent) depth++;
    const leaf = firstLeaf(node);
    node.direction = dims[leaf].directions[depth] ?? 1;
  }
  function firstLeaf(node) {
    return node.children ? firstLeaf(nodes[node.children[0]]) : node.leaf;
  }
  function branchesOf(ids) {
    return ids.map((id) => {
      const node = nodes[id];
      return { leaf: node.leaf, direction: node.direction, children: node.children && branchesOf(node.children) };
    });
  }
  const folding = branchesOf(roots);
  const siblingsOf = (node) => (node.parent === null ? roots : nodes[node.parent].children);

  const published = dims.map((d) => d.weight);
  const publishedComposite = fold(folding, published);
  const publishedRank = ranks(publishedComposite);

  let shares = new Float64Array(nodes.length);
  let weights = published.slice();
  let composite = publishedComposite;
  let rank = publishedRank;

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

  // A companion panel (the map) hears of every new set of composites and ranks.
  let lastScores = null;
  function announce(changed) {
    lastScores = { composite, rank, score: null, weights: Object.fromEntries(dims.map((d, k) => [d.name, weights[k]])), published: !changed };
    document.dispatchEvent(new CustomEvent("indexfuse:scores", { detail: lastScores }));
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

  function element(tag, text, className) {
    const made = document.createElement(tag);
    if (text !== undefined && text !== null) made.textContent = text;
    if (className) made.className = className;
    return made;
  }

  // -------------------------------------------------------- the controls --

  const controls = {};
  function controlRow(node, container, depth) {
    const row = element("div", null, "weight-row");
    row.style.setProperty("--depth", depth);
    const id = "weight-" + node.id;
    const label = element("label", node.label);
    label.htmlFor = id;
    if (node.direction < 0) label.append(element("span", node.effect, "pill lowers"));
    const parentLabel = node.parent === null ? "the index" : nodes[node.parent].label;
    const slider = Object.assign(document.createElement("input"), { type: "range", id, min: 0, max: 100, step: 0.1 });
    const box = Object.assign(document.createElement("input"), { type: "number", min: 0, max: 100, step: 0.1 });
    box.setAttribute("aria-label", node.label + ": share of " + parentLabel + ", percent");
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
      group.setAttribute("aria-label", "Within " + node.label);
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
    schedule();
  }

  function reset() {
    shares = sharesFrom(published);
    weights = published.slice();
    schedule();
  }

  let pending = false;
  function schedule() {
    if (pending) return;
    pending = true;
    requestAnimationFrame(() => {
      pending = false;
      recompute();
    });
  }

  function recompute() {
    const changed = differs();
    composite = changed ? fold(folding, weights) : publishedComposite;
    rank = changed ? ranks(composite) : publishedRank;
    announce(changed);
    show();
    if (table) {
      table.column(3).visible(changed, false);
      table.draw(false);
    }
    if (selected !== null) profile(selected);
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
    remember();
  }

  // ------------------------------------------------ the page's address --

  // The address keeps the weights ("w:" and a dimension's name, its share of
  // the whole) and the unit shown ("unit"), so that a reader can share both.
  function remember() {
    const entries = [];
    if (differs()) {
      const whole = given();
      dims.forEach((d, k) => entries.push(["w:" + d.name, String(whole[k])]));
    }
    if (selected !== null) entries.push(["unit", data.units[selected]]);
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
    const unit = found.has("unit") ? data.units.indexOf(found.get("unit")) : -1;
    return { weights: unreadable ? null : read && normalised(read), unreadable, unit };
  }

  function applyAddress() {
    const read = readAddress();
    shares = sharesFrom(read.weights || published);
    weights = read.weights ? normalised(given()) : published.slice();
    selected = read.unit >= 0 ? read.unit : null;
    recompute();
    if (read.unreadable) {
      const note = document.getElementById("weights-note");
      note.hidden = false;
      note.textContent = "The weights in this page's address could not be read: the published weights are shown.";
    }
  }

  // ---------------------------------------------------------- the table --

  let table = null;
  const columns = [
    { title: "Unit", key: "unit" },
    { title: "Rank", key: "rank" },
    { title: "Composite", key: "composite" },
    { title: "Published rank", key: "published" },
    ...dims.map((d, leaf) => ({ title: d.name, key: "dimension", leaf })),
  ];
  if (intervals) columns.push({ title: "Rank, 5–95% over the alternatives", key: "interval" });

  function cellText(column, i) {
    switch (column.key) {
      case "unit":
        return data.units[i];
      case "rank":
        return rankText(rank[i]);
      case "composite":
        return fixed(composite[i], 4);
      case "published":
        return rankText(publishedRank[i]);
      case "dimension":
        return fixed(values[column.leaf][i], 3);
      default:
        return Number.isFinite(intervals.p5[i]) ? rankText(intervals.p5[i]) + "–" + rankText(intervals.p95[i]) : "–";
    }
  }

  // The number a column sorts by; NaN sorts last either way.
  function sortKey(column) {
    switch (column.key) {
      case "rank":
        return rank;
      case "composite":
        return composite;
      case "published":
        return publishedRank;
      case "dimension":
        return values[column.leaf];
      default:
        return intervals.p5;
    }
  }

  // DataTables draws the table, its sorting headers, search box and pages;
  // the rows it shows are picked here, from the page's own arrays. Its
  // client-side mode keeps an object per row and takes over a second to set
  // up 33,000 of them, so the table runs in its server-side mode with this
  // function as the server: a search is a scan of the labels and a sort one
  // typed-array sort, some milliseconds each.
  let lowered = null;
  const collator = new Intl.Collator(undefined, { numeric: true });
  function query(request) {
    const words = request.search.value.toLowerCase().split(/\s+/).filter(Boolean);
    let found = Array.from({ length: n }, (_, i) => i);
    if (words.length) {
      lowered ||= data.units.map((unit) => unit.toLowerCase());
      found = found.filter((i) => words.every((word) => lowered[i].includes(word)));
    }
    const order = request.order && request.order[0];
    if (order) {
      const column = columns[order.column];
      const flip = order.dir === "desc" ? -1 : 1;
      if (column.key === "unit") {
        found.sort((a, b) => flip * collator.compare(data.units[a], data.units[b]) || a - b);
      } else {
        const key = sortKey(column);
        const missing = found.filter((i) => Number.isNaN(key[i]));
        found = found.filter((i) => !Number.isNaN(key[i]));
        found.sort((a, b) => flip * (key[a] - key[b]) || a - b);
        found = found.concat(missing);
      }
    }
    const end = request.length < 0 ? found.length : request.start + request.length;
    return {
      draw: request.draw,
      recordsTotal: n,
      recordsFiltered: found.length,
      data: found.slice(request.start, end).map((i) => [i]),
    };
  }

  function fill(api) {
    const visible = api.columns(":visible").indexes().toArray();
    api.rows({ page: "current" }).every(function () {
      const i = this.data()[0];
      const cells = this.node().cells;
      visible.forEach((c, position) => {
        const cell = cells[position];
        if (columns[c].key === "unit") {
          const button = element("button", data.units[i], "unit");
          button.type = "button";
          button.dataset.row = String(i);
          cell.replaceChildren(button);
        } else {
          cell.textContent = cellText(columns[c], i);
        }
      });
    });
  }

  function drawTable(DataTable) {
    const head = document.querySelector("#table thead tr");
    for (const column of columns) {
      const th = element("th", column.title);
      th.scope = "col";
      head.append(th);
    }
    table = new DataTable("#table", {
      serverSide: true,
      ajax: (request, callback) => callback(query(request)),
      // A search scans 33,000 labels in milliseconds: wait only for a pause in typing.
      searchDelay: 50,
      processing: false,
      autoWidth: false,
      pageLength: 25,
      lengthMenu: [10, 25, 50, 100],
      order: [[1, "asc"]],
      columns: columns.map((column) => ({
        data: null,
        render: () => "",
        searchable: column.key === "unit",
        className: column.key === "unit" ? "text" : "dt-right",
      })),
      columnDefs: [{ targets: 3, visible: false }],
      language: {
        search: "Find a unit:",
        searchPlaceholder: "any part of its name",
        info: "Units _START_ to _END_ of _TOTAL_",
        infoFiltered: "(found among _MAX_)",
        infoEmpty: "No unit found",
        zeroRecords: "No unit's name contains that.",
      },
      drawCallback() {
        fill(this.api());
      },
    });
    document.querySelector("#table tbody").addEventListener("click", (event) => {
      const button = event.target.closest("button.unit");
      if (button) profile(Number(button.dataset.row), true);
    });
  }

  // -------------------------------------------------------- the profile --

  let selected = null;

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

  function profile(i, focus) {
    selected = i;
    const section = document.getElementById("profile");
    section.hidden = false;
    const heading = document.getElementById("profile-heading");
    heading.textContent = "Why " + data.units[i] + " ranks where it does";
    const ranked = publishedRank.reduce((m, r) => m + (Number.isFinite(r) ? 1 : 0), 0);
    let summary;
    if (Number.isFinite(composite[i])) {
      summary = "Rank " + rankText(rank[i]) + " of " + count.format(ranked) + ", composite " + fixed(composite[i], 4) + ".";
      if (differs()) summary += " With the published weights: rank " + rankText(publishedRank[i]) + ", composite " + fixed(publishedComposite[i], 4) + ".";
    } else {
      summary = "No composite: the unit was left out by the data treatment, or a whole dimension is missing.";
    }
    if (intervals && Number.isFinite(intervals.p5[i])) {
      summary += " Over the alternative indices of the robustness analysis (published weights) its rank runs from " +
        rankText(intervals.p5[i]) + " to " + rankText(intervals.p95[i]) + " (5–95%), median " + rankText(intervals.median[i]) + ".";
    }
    document.getElementById("profile-summary").textContent = summary;

    const adds = dims.map((d, leaf) => weights[leaf] * d.directions.reduce((p, x) => p * x, 1) * values[leaf][i]);
    const largestDimension = Math.max(0, ...adds.map((x) => (Number.isFinite(x) ? Math.abs(x) : 0)));
    document.querySelector("#profile-dimensions tbody").replaceChildren(
      ...dims.map((d, leaf) => row([d.name, fixed(values[leaf][i], 3), percent(weights[leaf]), bar(adds[leaf], largestDimension, 4)]))
    );

    const blank = !Number.isFinite(composite[i]);
    const terms = data.indicators.map((record) => {
      const x = raw(record.column)[i];
      const factor = weights[record.leaf] * dims[record.leaf].directions.reduce((p, d) => p * d, 1);
      if (blank) return NaN;
      return Number.isNaN(x) ? 0 : scaled(x * record.direction, record) * record.coef * factor;
    });
    const largestTerm = Math.max(0, ...terms.map((x) => (Number.isFinite(x) ? Math.abs(x) : 0)));
    document.querySelector("#profile-indicators tbody").replaceChildren(
      ...data.indicators.map((record, k) => {
        const column = data.columns[record.column];
        const name = element("span", column.label);
        const sign = record.direction * dims[record.leaf].directions.reduce((p, d) => p * d, 1);
        const label = element("div");
        label.append(name, element("span", dims[record.leaf].name + (sign < 0 ? ", lowers the index" : ""), "sub"));
        return row([label, number(raw(record.column)[i]), place(raw(record.column)[i], column.low, column.high), bar(terms[k], largestTerm, 4)]);
      })
    );
    trajectory(i);
    remember();
    if (focus) {
      section.scrollIntoView({ block: "start" });
      heading.focus({ preventScroll: true });
    }
  }

  function trajectory(i) {
    const box = document.getElementById("profile-trajectory");
    box.hidden = !editions;
    if (!editions) return;
    const count = editions.periods.length;
    const points = editions.periods.map((period, p) => ({ period, composite: editions.composite[p * n + i], rank: editions.rank[p * n + i] }));
    document.querySelector("#trajectory-table tbody").replaceChildren(
      ...points.map((point) => row([point.period, fixed(point.composite, 4), rankText(point.rank)]))
    );
    const drawn = points.filter((point) => Number.isFinite(point.rank));
    const chart = document.getElementById("trajectory-chart");
    chart.replaceChildren();
    if (drawn.length < 2) return;
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
      svg.append(text(point.period, x(p), height - 6, "period"));
      if (!Number.isFinite(point.rank)) return;
      const dot = document.createElementNS(svgNs, "circle");
      dot.setAttribute("cx", x(p));
      dot.setAttribute("cy", y(point.rank));
      dot.setAttribute("r", 3.5);
      svg.append(dot, text(rankText(point.rank), x(p), y(point.rank) - 8, "rank"));
    });
    chart.append(svg);
  }

  // ------------------------------------------------------------ start --

  document.getElementById("reset").addEventListener("click", reset);
  // A reader who edits the address asks for what it says; the page's own
  // updates replace the address without this event.
  window.addEventListener("hashchange", applyAddress);
  const ranked = publishedRank.reduce((m, r) => m + (Number.isFinite(r) ? 1 : 0), 0);
  document.getElementById("units-note").textContent =
    count.format(n) + " units, " + count.format(ranked) + " with a composite. Rank 1 is the highest composite; tied units share the average rank. " +
    "Dimension values are before their weight and direction.";

  // The table library arrives as an ES module inside the page; importing it
  // from a blob address is how it loads without a network (itables' own
  // offline pages do the same).
  async function library() {
    const embedded = JSON.parse(document.getElementById("table-library").textContent);
    const style = document.createElement("style");
    style.textContent = new TextDecoder().decode(bytesOf(embedded.styles));
    document.head.prepend(style);
    const source = bytesOf(embedded.script);
    const address = URL.createObjectURL(new Blob([source], { type: "text/javascript" }));
    try {
      return (await import(address)).default;
    } finally {
      URL.revokeObjectURL(address);
    }
  }

  shares = sharesFrom(published);
  applyAddress();
  const ready = library().then((DataTable) => {
    drawTable(DataTable);
    table.column(3).visible(differs());
    document.body.dataset.ready = "true";
    // Milliseconds from the start of the page's navigation until the table is drawn.
    window.indexfuseExplorer.drawn = performance.now();
  });

  // For the page's own tests and for anyone scripting the page.
  window.indexfuseExplorer = {
    ready,
    given: () => Object.fromEntries(dims.map((d, k) => [d.name, given()[k]])),
    weights: () => Object.fromEntries(dims.map((d, k) => [d.name, weights[k]])),
    composite: () => Array.from(composite),
    rank: () => Array.from(rank),
    units: () => data.units,
    scores: () => lastScores,
    openProfile: (position) => profile(position, true),
    findUnit: (label) => data.units.indexOf(label),
  };
})();
