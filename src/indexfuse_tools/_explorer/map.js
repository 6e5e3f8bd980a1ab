// The explorer's map: every unit's shape, coloured by the composite, its
// score, its rank, a dimension or, with editions, its change in rank; one
// click or Enter away from the unit's profile.
//
// The shapes arrive as SVG path data made in Python (projected, simplified
// and rounded there); nothing of a geometry file but its numbers and its
// labels reaches the page, and labels only ever as text. A map of up to
// SVG_SHAPES shapes is an SVG with one path per shape. Beyond that (census
// tracts: tens of thousands), one element per shape makes every recolouring
// a restyle of the whole document, so the shapes are painted on a canvas
// instead, a class at a time, and found under the pointer with
// isPointInPath. Either way one tab stop holds the map: the arrow keys move
// to the nearest shape that way, Enter opens its unit's profile.
//
// The page around it offers (see explorer.js): #explorer-panel, the event
// "indexfuse:scores" with the composites and ranks as they are recomputed,
// and window.indexfuseExplorer.openProfile(position).
"use strict";

(function () {
  const SVG_SHAPES = 10000;
  const SVG_NS = "http://www.w3.org/2000/svg";

  function bytesOf(text) {
    const binary = atob(text);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
  }
  const decode = (text, Type) => new Type(bytesOf(text).buffer);

  function element(tag, text, className) {
    const made = document.createElement(tag);
    if (text !== undefined && text !== null) made.textContent = text;
    if (className) made.className = className;
    return made;
  }

  // numpy.quantile's default (linear between the order statistics), so that
  // the page's classes are the report's.
  function quantile(sorted, q) {
    const at = (sorted.length - 1) * q;
    const low = Math.floor(at);
    const high = Math.min(low + 1, sorted.length - 1);
    return sorted[low] + (sorted[high] - sorted[low]) * (at - low);
  }

  function decimals(edges) {
    let step = Infinity;
    for (let k = 1; k < edges.length; k++) if (edges[k] > edges[k - 1]) step = Math.min(step, edges[k] - edges[k - 1]);
    if (!Number.isFinite(step) || step <= 0) return 0;
    return Math.min(6, Math.max(0, -Math.floor(Math.log10(step)) + 1));
  }

  const format = (x, digits) => {
    const text = x.toLocaleString("en", { minimumFractionDigits: digits, maximumFractionDigits: digits });
    return /^-0(\.0*)?$/.test(text) ? text.slice(1) : text;
  };

  // Classes of about as many units each; as the report's quantile_classes.
  function quantileClasses(values, palette, count = 7, reverse = false) {
    const finite = Float64Array.from(values.filter(Number.isFinite)).sort();
    const index = new Int8Array(values.length).fill(-1);
    if (!finite.length) return { colours: [], labels: [], index };
    let distinct = 1;
    for (let k = 1; k < finite.length; k++) if (finite[k] !== finite[k - 1]) distinct++;
    count = Math.max(1, Math.min(count, distinct, Math.max(2, Math.floor(finite.length / 2))));
    const edges = [];
    for (let k = 0; k <= count; k++) {
      const edge = quantile(finite, k / count);
      if (!edges.length || edge !== edges[edges.length - 1]) edges.push(edge);
    }
    if (edges.length < 2) edges.push(edges[0]);
    const classes = edges.length - 1;
    for (let i = 0; i < values.length; i++) {
      const v = values[i];
      if (!Number.isFinite(v)) continue;
      let c = 0;
      while (c < classes - 1 && v >= edges[c + 1]) c++;
      index[i] = c;
    }
    const picks = [];
    for (let k = 0; k < classes; k++) picks.push(classes > 1 ? Math.round((k * (palette.length - 1)) / (classes - 1)) : 3);
    let colours = picks.map((p) => palette[p]);
    const digits = decimals(edges);
    const labels = [];
    for (let k = 0; k < classes; k++) labels.push(format(edges[k], digits) + " – " + format(edges[k + 1], digits));
    if (reverse) colours = colours.reverse();
    return { colours, labels, index };
  }

  // Falls, none, rises, split at thirds of the moves; as the report's change_classes.
  function changeClasses(values, palette) {
    const moved = Float64Array.from(values.filter((v) => Number.isFinite(v) && v !== 0).map(Math.abs)).sort();
    const low = Math.max(1, moved.length ? Math.ceil(quantile(moved, 1 / 3)) : 1);
    const high = Math.max(low + 1, moved.length ? Math.ceil(quantile(moved, 2 / 3)) : 2);
    const inner = [-high, -low, -0.5, 0.5, low, high];
    const index = new Int8Array(values.length).fill(-1);
    for (let i = 0; i < values.length; i++) {
      const v = values[i];
      if (!Number.isFinite(v)) continue;
      let c = 0;
      if (v < 0) while (c < inner.length && v >= inner[c]) c++;
      else while (c < inner.length && v > inner[c]) c++;
      index[i] = c;
    }
    const span = (a, b, verb) => (b > a ? verb + " " + a + " to " + b : verb + " " + b);
    const labels = [
      "fell more than " + high, span(low + 1, high, "fell"), span(1, low, "fell"), "no change",
      span(1, low, "rose"), span(low + 1, high, "rose"), "rose more than " + high,
    ];
    return { colours: palette.slice(), labels, index };
  }

  function mount(panel, map, explorer) {
    const count = map.paths.length;
    const unitOf = decode(map.unit, Int32Array);
    const centres = decode(map.centres, Int32Array);
    const layers = map.layers.map((layer) => ({ name: layer.name, values: decode(layer.values, Float32Array) }));
    const editions = map.editions && {
      periods: map.editions.periods,
      ranks: map.editions.ranks.map((text) => decode(text, Float32Array)),
    };
    const units = explorer.units();
    let scores = explorer.scores();

    // ------------------------------------------------------------ layout --
    const style = document.createElement("style");
    style.textContent = map.css;
    document.head.append(style);
    panel.classList.add("map-panel");
    panel.setAttribute("aria-labelledby", "map-heading");
    const heading = element("h2", "On the map");
    heading.id = "map-heading";
    const controls = element("div", null, "map-controls");
    const choose = element("select");
    choose.id = "map-colour";
    const chooseLabel = element("label", "Colour by ");
    chooseLabel.htmlFor = choose.id;
    const options = [["composite", "Composite"]];
    if (scores && scores.score) options.push(["score", "Score (0–100)"]);
    options.push(["rank", "Rank"]);
    layers.forEach((layer, k) => options.push(["layer:" + k, layer.name]));
    if (editions && editions.periods.length > 1) options.push(["change", "Change in rank between editions"]);
    for (const [value, text] of options) choose.append(Object.assign(element("option", text), { value }));
    controls.append(chooseLabel, choose);
    const periodBox = element("span", null, "map-periods");
    const fromSelect = element("select");
    const toSelect = element("select");
    if (editions) {
      editions.periods.forEach((period, p) => {
        fromSelect.append(Object.assign(element("option", period), { value: String(p) }));
        toSelect.append(Object.assign(element("option", period), { value: String(p) }));
      });
      fromSelect.value = "0";
      toSelect.value = String(editions.periods.length - 1);
      fromSelect.setAttribute("aria-label", "From the edition");
      toSelect.setAttribute("aria-label", "To the edition");
      periodBox.append(fromSelect, element("span", " to "), toSelect);
    }
    periodBox.hidden = true;
    controls.append(periodBox);

    const frame = element("div", null, "map-frame");
    frame.tabIndex = 0;
    frame.setAttribute("role", "group");
    frame.setAttribute("aria-roledescription", "map");
    frame.setAttribute("aria-label", "Map of the units. Arrow keys move from a unit to its neighbour; Enter opens its profile.");
    const tip = element("div", null, "map-tip");
    tip.hidden = true;
    tip.setAttribute("aria-hidden", "true");
    const status = element("p", "", "map-status");
    status.setAttribute("role", "status");
    status.setAttribute("aria-live", "polite");
    const legend = element("ul", null, "map-legend");
    legend.setAttribute("aria-label", "Legend");
    const note = element("p", map.note, "note");
    panel.append(heading, controls, frame, status, legend, note);
    frame.append(tip);
    if (map.unitsWithout.length || map.shapesWithout.length) panel.append(leftOver());

    function leftOver() {
      const box = element("div", null, "map-left-over");
      const list = (labels, what) => {
        const details = element("details");
        details.append(element("summary", labels.length.toLocaleString("en") + " " + what));
        const p = element("p");
        labels.forEach((label, k) => {
          p.append(element("bdi", label));
          if (k < labels.length - 1) p.append("; ");
        });
        details.append(p);
        return details;
      };
      if (map.unitsWithout.length) box.append(list(map.unitsWithout, "unit(s) without a shape, not on the map"));
      if (map.shapesWithout.length) box.append(list(map.shapesWithout, "shape(s) matching no unit, hatched"));
      return box;
    }

    // ------------------------------------------------------------ shapes --
    const useSvg = count <= SVG_SHAPES;
    let svg = null;
    let shapesNodes = null;
    let canvas = null;
    let highlight = null;
    const paths2d = useSvg ? null : map.paths.map((d) => new Path2D(d));
    const probe = document.createElement("canvas").getContext("2d");
    if (useSvg) {
      svg = document.createElementNS(SVG_NS, "svg");
      svg.setAttribute("viewBox", "0 0 " + map.width + " " + map.height);
      svg.setAttribute("aria-hidden", "true");
      svg.innerHTML =
        '<defs><pattern id="map-hatch" width="8" height="8" patternUnits="userSpaceOnUse" patternTransform="rotate(45)">' +
        '<rect width="8" height="8" fill="#fff"/><line x1="0" y1="0" x2="0" y2="8" stroke="' + map.palette.noUnitLine +
        '" stroke-width="3"/></pattern></defs>';
      const group = document.createElementNS(SVG_NS, "g");
      group.setAttribute("class", "map-shapes");
      shapesNodes = map.paths.map((d, s) => {
        const path = document.createElementNS(SVG_NS, "path");
        path.setAttribute("d", d);
        path.dataset.shape = String(s);
        group.append(path);
        return path;
      });
      svg.append(group);
      highlight = document.createElementNS(SVG_NS, "path");
      highlight.setAttribute("class", "map-highlight");
      svg.append(highlight);
      frame.prepend(svg);
    } else {
      canvas = document.createElement("canvas");
      canvas.setAttribute("aria-hidden", "true");
      frame.prepend(canvas);
      const over = document.createElementNS(SVG_NS, "svg");
      over.setAttribute("viewBox", "0 0 " + map.width + " " + map.height);
      over.setAttribute("class", "map-over");
      over.setAttribute("aria-hidden", "true");
      highlight = document.createElementNS(SVG_NS, "path");
      highlight.setAttribute("class", "map-highlight");
      over.append(highlight);
      frame.append(over);
    }
    frame.style.aspectRatio = map.width + " / " + map.height;

    // ---------------------------------------------------------- colours --
    let shown = { colours: [], labels: [], index: new Int8Array(0) };
    let unitValues = null;
    let valueText = () => "";

    function chosenValues() {
      const what = choose.value;
      const n = units.length;
      if (what === "composite") return { values: scores.composite, text: (v) => "composite " + format(v, 4), title: "Composite" };
      if (what === "score") return { values: scores.score, text: (v) => "score " + format(v, 1), title: "Score (0–100)" };
      if (what === "rank") return { values: scores.rank, text: (v) => "rank " + v + " of " + ranked(), title: "Rank (1 is the best)", reverse: true };
      if (what === "change") {
        const from = editions.ranks[Number(fromSelect.value)];
        const to = editions.ranks[Number(toSelect.value)];
        const change = new Float64Array(n);
        for (let i = 0; i < n; i++) change[i] = from[i] - to[i];
        const words = (v) => (v > 0 ? "climbed " + v + " place(s)" : v < 0 ? "fell " + -v + " place(s)" : "kept its rank");
        return {
          values: change, change: true, text: words,
          title: "Places climbed from " + editions.periods[fromSelect.value] + " to " + editions.periods[toSelect.value],
        };
      }
      const layer = layers[Number(what.slice(6))];
      return { values: layer.values, text: (v) => layer.name + " " + format(v, 3), title: layer.name };
    }

    function ranked() {
      let m = 0;
      for (const r of scores.rank) if (Number.isFinite(r)) m++;
      return m.toLocaleString("en");
    }

    // Milliseconds the last recolouring took (classes, paint and legend), for the benchmark.
    let took = NaN;
    function recolour() {
      if (!scores) return;
      const started = performance.now();
      const chosen = chosenValues();
      periodBox.hidden = choose.value !== "change";
      unitValues = chosen.values;
      valueText = chosen.text;
      const values = Array.from(unitValues);
      shown = chosen.change
        ? changeClasses(values, map.palette.diverging)
        : quantileClasses(values, map.palette.sequential, 7, Boolean(chosen.reverse));
      if (chosen.reverse) {
        // Best first in the legend's order: the darkest class holds the worst ranks.
        shown.labels.reverse();
        shown.colours.reverse();
        const top = shown.labels.length - 1;
        shown.index = shown.index.map((c) => (c < 0 ? c : top - c));
      }
      paint();
      drawLegend(chosen.title);
      if (current !== null) describe(current, false);
      took = performance.now() - started;
    }

    function colourOf(s) {
      const unit = unitOf[s];
      if (unit < 0) return null;
      const c = shown.index[unit];
      return c < 0 ? map.palette.noScore : shown.colours[c];
    }

    function paint() {
      if (useSvg) {
        for (let s = 0; s < count; s++) {
          const colour = colourOf(s);
          shapesNodes[s].setAttribute("fill", colour === null ? "url(#map-hatch)" : colour);
        }
        svg.classList.toggle("pale", choose.value === "change");
        return;
      }
      const box = frame.getBoundingClientRect();
      const ratio = window.devicePixelRatio || 1;
      canvas.width = Math.max(1, Math.round(box.width * ratio));
      canvas.height = Math.max(1, Math.round((box.width * map.height * ratio) / map.width));
      const context = canvas.getContext("2d");
      const scale = canvas.width / map.width;
      context.setTransform(scale, 0, 0, scale, 0, 0);
      // A class at a time: one fill style per class, not one per shape.
      const byColour = new Map();
      for (let s = 0; s < count; s++) {
        const colour = colourOf(s) ?? "#ffffff";
        let list = byColour.get(colour);
        if (!list) byColour.set(colour, (list = []));
        list.push(s);
      }
      // One path per class: a few fills of large paths cost far less than
      // one fill per shape. Outer rings run clockwise and holes the other
      // way (as Python writes them), so the nonzero rule keeps the holes.
      for (const [colour, list] of byColour) {
        const joined = new Path2D();
        for (const s of list) joined.addPath(paths2d[s]);
        context.fillStyle = colour;
        context.fill(joined);
      }
      context.strokeStyle = map.palette.noUnitLine;
      context.lineWidth = 0.6;
      for (let s = 0; s < count; s++) if (unitOf[s] < 0) context.stroke(paths2d[s]);
    }

    function drawLegend(title) {
      const items = [element("li", title, "map-legend-title")];
      shown.colours.forEach((colour, k) => items.push(swatch(colour, shown.labels[k])));
      items.push(swatch(map.palette.noScore, "no score"));
      if (unitOf.some((u) => u < 0)) items.push(swatch(null, "not in the table"));
      legend.replaceChildren(...items);
    }

    function swatch(colour, text) {
      const item = element("li");
      const mark = element("span", null, "map-swatch" + (colour === null ? " hatched" : ""));
      if (colour !== null) mark.style.background = colour;
      item.append(mark, element("span", text));
      return item;
    }

    // --------------------------------------------------- finding a shape --
    function shapeAt(event) {
      if (useSvg) {
        const target = event.target.closest && event.target.closest("path[data-shape]");
        return target ? Number(target.dataset.shape) : null;
      }
      const box = canvas.getBoundingClientRect();
      const x = ((event.clientX - box.left) * map.width) / box.width;
      const y = ((event.clientY - box.top) * map.height) / box.height;
      // Nearest centres first: the shape under the pointer is almost always among them.
      const order = nearest(x, y, 64);
      for (const s of order) if (probe.isPointInPath(paths2d[s], x, y, "evenodd")) return s;
      return null;
    }

    function nearest(x, y, many) {
      const found = [];
      for (let s = 0; s < count; s++) {
        const dx = centres[2 * s] - x;
        const dy = centres[2 * s + 1] - y;
        found.push([dx * dx + dy * dy, s]);
      }
      found.sort((a, b) => a[0] - b[0]);
      return found.slice(0, many).map((pair) => pair[1]);
    }

    // The nearest shape whose centre lies within 60 degrees of the direction.
    function neighbour(from, dx, dy) {
      const x0 = centres[2 * from];
      const y0 = centres[2 * from + 1];
      let best = null;
      let bestScore = Infinity;
      for (let s = 0; s < count; s++) {
        if (s === from) continue;
        const x = centres[2 * s] - x0;
        const y = centres[2 * s + 1] - y0;
        const along = x * dx + y * dy;
        if (along <= 0) continue;
        const distance = Math.hypot(x, y);
        if (along < distance * 0.5) continue;
        const score = distance * (2 - along / distance);
        if (score < bestScore) {
          bestScore = score;
          best = s;
        }
      }
      return best;
    }

    function nameOf(s) {
      const unit = unitOf[s];
      return unit >= 0 ? units[unit] : map.labels[String(s)] ?? "";
    }

    function words(s) {
      const unit = unitOf[s];
      if (unit < 0) return "not in the table";
      const v = unitValues ? unitValues[unit] : NaN;
      return Number.isFinite(v) ? valueText(v) : "no score";
    }

    // ------------------------------------------------- hover and focus --
    let current = null;

    function describe(s, fromKeyboard, event) {
      current = s;
      highlight.setAttribute("d", map.paths[s]);
      tip.replaceChildren(element("bdi", nameOf(s)), element("span", ": " + words(s)));
      tip.hidden = false;
      const box = frame.getBoundingClientRect();
      let x;
      let y;
      if (event) {
        x = event.clientX - box.left;
        y = event.clientY - box.top;
      } else {
        x = (centres[2 * s] * box.width) / map.width;
        y = (centres[2 * s + 1] * box.height) / map.height;
      }
      tip.style.left = Math.min(Math.max(0, x + 12), Math.max(0, box.width - tip.offsetWidth)) + "px";
      tip.style.top = Math.max(0, y - tip.offsetHeight - 10) + "px";
      if (fromKeyboard) {
        status.replaceChildren(element("bdi", nameOf(s)), ": " + words(s) + (unitOf[s] >= 0 ? ". Enter opens its profile." : "."));
      }
    }

    function leave() {
      tip.hidden = true;
      if (document.activeElement !== frame) highlight.removeAttribute("d");
    }

    frame.addEventListener("pointermove", (event) => {
      const s = shapeAt(event);
      if (s === null) leave();
      else describe(s, false, event);
    });
    frame.addEventListener("pointerleave", leave);
    frame.addEventListener("click", (event) => {
      const s = shapeAt(event);
      if (s !== null && unitOf[s] >= 0) explorer.openProfile(unitOf[s]);
    });
    frame.addEventListener("focus", () => {
      if (current === null) current = startingShape();
      if (current !== null) describe(current, true);
    });
    frame.addEventListener("blur", () => {
      tip.hidden = true;
      highlight.removeAttribute("d");
    });
    const directions = { ArrowLeft: [-1, 0], ArrowRight: [1, 0], ArrowUp: [0, -1], ArrowDown: [0, 1] };
    frame.addEventListener("keydown", (event) => {
      if (current === null) current = startingShape();
      if (current === null) return;
      if (directions[event.key]) {
        event.preventDefault();
        const next = neighbour(current, ...directions[event.key]);
        if (next !== null) describe(next, true);
      } else if (event.key === "Enter" || event.key === " ") {
        event.preventDefault();
        if (unitOf[current] >= 0) explorer.openProfile(unitOf[current]);
      } else if (event.key === "Escape") {
        tip.hidden = true;
      }
    });

    // The best-ranked unit's shape, where keyboard travel starts.
    function startingShape() {
      let best = null;
      for (let s = 0; s < count; s++) {
        const unit = unitOf[s];
        if (unit < 0) continue;
        if (best === null || (scores && scores.rank[unit] < scores.rank[unitOf[best]])) best = s;
      }
      return best ?? (count ? 0 : null);
    }

    choose.addEventListener("change", recolour);
    fromSelect.addEventListener("change", recolour);
    toSelect.addEventListener("change", recolour);
    document.addEventListener("indexfuse:scores", (event) => {
      scores = event.detail;
      recolour();
    });
    if (!useSvg) window.addEventListener("resize", () => requestAnimationFrame(paint));

    panel.hidden = false;
    recolour();
    return {
      recolour,
      // Milliseconds from the start of the page's navigation until the map was drawn.
      drawn: performance.now(),
      took: () => took,
      shapes: () => (useSvg ? shapesNodes.length : paths2d.length),
      fills: () => Array.from({ length: count }, (_, s) => colourOf(s)),
      choose: (value) => {
        choose.value = value;
        recolour();
      },
    };
  }

  self.indexfuseMap = { mount };

  const payload = document.getElementById("explorer-map-data");
  const explorer = window.indexfuseExplorer;
  if (payload && explorer) {
    const map = JSON.parse(payload.textContent);
    const start = () => {
      window.indexfuseMapView = mount(document.getElementById("explorer-panel"), map, explorer);
    };
    if (explorer.scores()) start();
    else document.addEventListener("indexfuse:scores", start, { once: true });
  }
})();
