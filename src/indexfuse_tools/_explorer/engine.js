// The explorer's arithmetic over every unit: composites, ranks, and the rows
// a search and a sort leave, in their order. It runs in a Web Worker made
// from this very text (a blob address, so the page stays one offline file),
// where a quarter of a million units re-ranked on every move of a slider
// never hold up the page; where a browser refuses the worker, the page
// calls the same functions itself.
//
// In the worker, each message {type, id, ...} is answered by {type, id, ...}:
// "start" {text, data, folding, published} (the page's columns, its data
// document, the dimensions as the model folds them and the published
// weights) by the published composites and ranks; "view" {weights,
// search, sort} by view()'s result, its arrays transferred; "unit"
// {position} by unit()'s. The engine reads the indicators' columns itself,
// so that the page never holds them.
"use strict";

// The per-unit columns of the page's text (see columns.py for their forms),
// each decoded once, when first asked for.
self.indexfuseColumns = function indexfuseColumns(text) {
  const POWERS = Array.from({ length: 23 }, (_, d) => 10 ** d);
  const MISSING = -2147483648;

  function bytesOf(part) {
    if (Uint8Array.fromBase64) return Uint8Array.fromBase64(part);
    const binary = atob(part);
    const bytes = new Uint8Array(binary.length);
    for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
    return bytes;
  }

  // Through the streams themselves, not a Blob's: a worker reading a Blob
  // stalls in a headless browser's virtual time, which pictures of the page
  // are taken in.
  async function inflate(bytes) {
    const stream = new DecompressionStream("deflate");
    const writer = stream.writable.getWriter();
    writer.write(bytes).then(() => writer.close(), () => {});
    const reader = stream.readable.getReader();
    const parts = [];
    let length = 0;
    for (let part = await reader.read(); !part.done; part = await reader.read()) {
      parts.push(part.value);
      length += part.value.length;
    }
    if (parts.length === 1) return parts[0];
    const whole = new Uint8Array(length);
    for (let k = 0, at = 0; k < parts.length; at += parts[k].length, k++) whole.set(parts[k], at);
    return whole;
  }

  // Python stores every value's first bytes together, then its second bytes...
  function regrouped(bytes, width) {
    const count = bytes.length / width;
    const out = new Uint8Array(bytes.length);
    for (let b = 0; b < width; b++) {
      const from = b * count;
      for (let i = 0; i < count; i++) out[i * width + b] = bytes[from + i];
    }
    return out;
  }

  async function decode(entry) {
    const bytes = await inflate(bytesOf(text.slice(entry.at, entry.at + entry.length)));
    switch (entry.type) {
      case "json":
        return JSON.parse(new TextDecoder().decode(bytes));
      case "f8":
        return new Float64Array(regrouped(bytes, 8).buffer);
      case "f4":
        return new Float32Array(regrouped(bytes, 4).buffer);
      case "u4":
        return new Uint32Array(regrouped(bytes, 4).buffer);
      default: {
        const counts = new Int32Array(regrouped(bytes, 4).buffer);
        const scale = POWERS[entry.decimals];
        const values = new Float64Array(counts.length);
        for (let i = 0; i < counts.length; i++) values[i] = counts[i] === MISSING ? NaN : counts[i] / scale;
        return values;
      }
    }
  }

  const decoded = new Map();
  return function column(entry) {
    if (!decoded.has(entry.at)) decoded.set(entry.at, decode(entry));
    return decoded.get(entry.at);
  };
};

// The engine over the page's data document, reading its columns through
// column (an indexfuseColumns); folding is the dimensions as the model folds
// them, published the published weights.
self.indexfuseEngine = async function indexfuseEngine(column, data, folding, published) {
  // The editions' columns a profile shows, as the page's data name them.
  const EDITION_FIELDS = ["composite", "score", "rank", "composite_change", "score_change"];
  const n = data.count;
  const [unitOrder, values, p5] = await Promise.all([
    column(data.unitOrder),
    Promise.all(data.dimensions.map((d) => column(d.values))),
    data.intervals ? column(data.intervals.p5) : null,
  ]);

  // The composite as the model folds it: a nested dimension adds up its
  // sub-dimensions (weight times value), then enters its parent with its
  // direction.
  function fold(branches, weights) {
    const sum = new Float64Array(n);
    let first = true;
    for (const branch of branches) {
      const direction = branch.direction;
      if (branch.children) {
        const part = fold(branch.children, weights);
        for (let i = 0; i < n; i++) sum[i] = first ? part[i] * direction : sum[i] + part[i] * direction;
      } else {
        // (w * v) * direction, then added: the model's order of operations, so the same bits.
        const w = weights[branch.leaf];
        const v = values[branch.leaf];
        if (first) for (let i = 0; i < n; i++) sum[i] = w * v[i] * direction;
        else for (let i = 0; i < n; i++) sum[i] += w * v[i] * direction;
      }
      first = false;
    }
    return first ? sum.fill(NaN) : sum;
  }

  // Positions of the units by key, ascending or descending, ties in the
  // units' own order, missing keys last: what a comparison sort with
  // (a, b) => key[a] - key[b] || a - b gives. Written by hand because a
  // browser has no argsort, and its sort with a comparator takes about
  // 0.2 s for 242,335 numbers against 0.02 s for this least-significant-
  // digit radix sort: four stable passes over 16-bit digits of each key's
  // bits, turned so that their order as integers is the numbers' order.
  const counts = new Uint32Array(65536);
  // Room for the sort's work, kept from one sort to the next.
  const turned = new Float64Array(n);
  const bits = new Uint32Array(turned.buffer);
  const where = new Uint32Array(n);
  const low = new Uint32Array(n);
  const high = new Uint32Array(n);
  const scratch = [new Uint32Array(n), new Uint32Array(n)];
  function argsort(key, descending) {
    const result = new Uint32Array(n);
    let finite = 0;
    let missing = 0;
    for (let i = 0; i < n; i++) if (key[i] === key[i]) finite++;
    for (let i = 0; i < n; i++) {
      const x = key[i];
      if (x !== x) result[finite + missing++] = i;
      else {
        turned[i - missing] = (descending ? -x : x) + 0; // + 0: -0 and 0 tie, as they compare
        where[i - missing] = i;
      }
    }
    for (let j = 0; j < finite; j++) {
      let h = bits[2 * j + 1];
      let l = bits[2 * j];
      if (h & 0x80000000) {
        h = ~h >>> 0;
        l = ~l >>> 0;
      } else h = (h | 0x80000000) >>> 0;
      high[j] = h;
      low[j] = l;
    }
    let [from, to] = scratch;
    for (let j = 0; j < finite; j++) from[j] = j;
    for (const [word, shift] of [[low, 0], [low, 16], [high, 0], [high, 16]]) {
      counts.fill(0);
      for (let j = 0; j < finite; j++) counts[(word[j] >>> shift) & 0xffff]++;
      if (counts[(word[0] >>> shift) & 0xffff] === finite) continue; // one digit throughout
      for (let d = 0, total = 0; d < 65536; d++) {
        const c = counts[d];
        counts[d] = total;
        total += c;
      }
      for (let j = 0; j < finite; j++) {
        const k = from[j];
        to[counts[(word[k] >>> shift) & 0xffff]++] = k;
      }
      [from, to] = [to, from];
    }
    for (let j = 0; j < finite; j++) result[j] = where[from[j]];
    return result;
  }

  // 1 for the highest composite, ties sharing their average rank, NaN where
  // the composite is NaN: pandas' rank(ascending=False, method="average").
  // Also the order of the ranks, which a sort by rank reuses.
  function ranks(composite) {
    const order = argsort(composite, true);
    const rank = new Float64Array(n).fill(NaN);
    let ranked = 0;
    while (ranked < n && composite[order[ranked]] === composite[order[ranked]]) ranked++;
    for (let k = 0; k < ranked; ) {
      let j = k;
      while (j + 1 < ranked && composite[order[j + 1]] === composite[order[k]]) j++;
      const shared = (k + j) / 2 + 1;
      for (let t = k; t <= j; t++) rank[order[t]] = shared;
      k = j + 1;
    }
    return { rank, order };
  }

  // The same order the other way round, ties still in the units' own
  // order and missing keys still last, without sorting again.
  function reversed(order, key) {
    let finite = 0;
    while (finite < n && key[order[finite]] === key[order[finite]]) finite++;
    const result = new Uint32Array(n);
    for (let k = 0; k < finite; ) {
      let j = k;
      while (j + 1 < finite && key[order[j + 1]] === key[order[k]]) j++;
      // The run of ties k..j lands at the mirror place, in its own order.
      result.set(order.subarray(k, j + 1), finite - 1 - j);
      k = j + 1;
    }
    result.set(order.subarray(finite), finite);
    return result;
  }

  const publishedComposite = fold(folding, published);
  const publishedRanks = ranks(publishedComposite);
  let composite = publishedComposite;
  let rank = publishedRanks.rank;
  let weightsKey = null; // the first view sends the composites, whatever its weights

  // Orders by what they sort and which way; those that follow the weights
  // are dropped when the weights move. A rank sorts as its composite the
  // other way round, and so does a score on 0..100.
  const orders = new Map();
  function canonical(sort) {
    switch (sort.key) {
      case "rank":
        return { name: "composite", key: composite, descending: !sort.descending };
      case "composite":
      case "score":
        return { name: "composite", key: composite, descending: Boolean(sort.descending) };
      case "published":
        return { name: "published", key: publishedRanks.rank, descending: Boolean(sort.descending) };
      case "dimension":
        return { name: "dimension" + sort.leaf, key: values[sort.leaf], descending: Boolean(sort.descending) };
      case "unit":
        return { name: "unit", key: null, descending: Boolean(sort.descending) };
      default:
        return { name: "interval", key: p5, descending: Boolean(sort.descending) };
    }
  }

  function orderOf(sort) {
    const { name, key, descending } = canonical(sort);
    let order = orders.get(name + ":" + descending);
    if (order) return order;
    const other = orders.get(name + ":" + !descending);
    if (key === null) order = descending ? unitOrder.slice().reverse() : unitOrder;
    else order = other ? reversed(other, key) : argsort(key, descending);
    orders.set(name + ":" + descending, order);
    return order;
  }

  // Search is by every word typed, each found anywhere in the label, case
  // aside. All labels also sit in one text, apart by a character no word
  // holds, so that the first scan for a word is the browser's own string
  // search; a search that only adds to the last one (the reader typing on)
  // looks again only at what the last one found.
  const SEPARATOR = "\0";
  let lowered = null;
  let joined = null;
  let starts = null;
  let reading = null;
  function searchable() {
    reading ||= column(data.units).then(async (labels) => {
      // In blocks, so that a move of a weight meanwhile is not held up long.
      lowered = new Array(n);
      for (let from = 0; from < n; from += 20000) {
        for (let i = from; i < Math.min(n, from + 20000); i++) lowered[i] = labels[i].toLowerCase();
        await new Promise((resolve) => setTimeout(resolve, 0));
      }
      starts = new Uint32Array(n + 1);
      let at = 0;
      for (let i = 0; i < n; i++) {
        starts[i] = at;
        at += lowered[i].length + 1;
      }
      starts[n] = at;
      joined = lowered.join(SEPARATOR);
    });
    return reading;
  }

  // The units whose label holds word, in order.
  function holding(word) {
    const found = [];
    let unit = 0;
    for (let at = joined.indexOf(word); at >= 0; at = joined.indexOf(word, starts[unit + 1])) {
      while (starts[unit + 1] <= at) unit++;
      found.push(unit);
    }
    return found;
  }

  let lastText = null;
  let lastFound = null; // positions, in order
  let lastMatches = null;
  async function matches(search) {
    const text = search.toLowerCase();
    const words = [...new Set(text.split(/\s+/).filter((word) => word && !word.includes(SEPARATOR)))];
    if (!words.length || !n) return null;
    if (text === lastText) return lastMatches;
    await searchable();
    let candidates;
    if (lastText !== null && text.startsWith(lastText)) {
      candidates = lastFound; // every word of the last search is part of one of these
    } else {
      words.sort((a, b) => b.length - a.length); // the longest first: it finds the fewest
      candidates = holding(words.shift());
    }
    const found = candidates.filter((i) => words.every((word) => lowered[i].includes(word)));
    const mask = new Uint8Array(n);
    for (const i of found) mask[i] = 1;
    lastText = text;
    lastFound = found;
    lastMatches = mask;
    return mask;
  }

  // Every unit shown in a view, in its order: the sorted order, less what the search leaves out.
  async function rows(request) {
    const found = await matches(request.search || "");
    const order = orderOf(request.sort);
    if (!found) return order.slice();
    let kept = 0;
    for (let k = 0; k < n; k++) kept += found[order[k]];
    const view = new Uint32Array(kept);
    for (let k = 0, j = 0; k < n; k++) if (found[order[k]]) view[j++] = order[k];
    return view;
  }

  // One unit's indicators (as given, and as the model scored them after the
  // data treatment) and its editions: what its profile shows.
  let detailed = null;
  function details() {
    detailed ||= Promise.all([
      Promise.all(data.columns.map((entry) => column(entry.values))),
      Promise.all(
        data.columns.map((entry) =>
          entry.treated && Promise.all([entry.treated.positions ? column(entry.treated.positions) : null, column(entry.treated.values)])
        )
      ),
      Promise.all(EDITION_FIELDS.map((name) => (data.editions && data.editions[name] ? column(data.editions[name]) : null))),
    ]);
    return detailed;
  }

  function scoredOf(raw, treated, i) {
    if (!treated) return raw[i];
    const [positions, changed] = treated;
    if (!positions) return changed[i];
    let low = 0;
    let high = positions.length - 1;
    while (low <= high) {
      const middle = (low + high) >> 1;
      if (positions[middle] === i) return changed[middle];
      if (positions[middle] < i) low = middle + 1;
      else high = middle - 1;
    }
    return raw[i];
  }

  async function unit(i) {
    const [raw, treated, editions] = await details();
    const periods = data.editions ? data.editions.periods.length : 0;
    const across = Object.fromEntries(
      EDITION_FIELDS.map((name, k) => [name, editions[k] && Array.from({ length: periods }, (_, p) => editions[k][p * n + i])])
    );
    if (data.editions && data.editions.rank_change) {
      across.rank_change = across.rank.map((rank, p) => (p ? across.rank[p - 1] - rank : NaN));
    }
    return {
      raw: raw.map((column) => column[i]),
      scored: raw.map((column, k) => scoredOf(column, treated[k], i)),
      editions: across,
    };
  }

  return {
    // The published composites and ranks, and the dimension values, which
    // the page then need not read itself.
    start() {
      return { publishedComposite, publishedRank: publishedRanks.rank, values };
    },
    // The view for the weights (null: the published ones), the search and the sort asked for,
    // with the composites and ranks when the weights moved since the last view.
    async view(request) {
      let moved = false;
      const key = request.weights ? String(request.weights) : "published";
      if (key !== weightsKey) {
        weightsKey = key;
        moved = true;
        orders.delete("composite:false");
        orders.delete("composite:true");
        if (request.weights) {
          composite = fold(folding, request.weights);
          const ranked = ranks(composite);
          rank = ranked.rank;
          orders.set("composite:true", ranked.order);
        } else {
          composite = publishedComposite;
          rank = publishedRanks.rank;
          orders.set("composite:true", publishedRanks.order);
        }
      }
      return {
        view: await rows(request),
        published: !request.weights,
        composite: moved ? composite.slice() : null,
        rank: moved ? rank.slice() : null,
      };
    },
    unit,
    // While the reader looks at the table: the labels made ready for the
    // first search, the orders of the columns that do not follow the
    // weights, and the columns for the first profile; a step at a time, so
    // that what the reader asks for meanwhile is answered between them.
    async idle() {
      const pause = () => new Promise((resolve) => setTimeout(resolve, 0));
      await searchable();
      const columns = [{ key: "rank", descending: true }, ...values.map((_, leaf) => ({ key: "dimension", leaf })), { key: "published" }];
      if (p5) columns.push({ key: "interval" });
      for (const sort of columns) {
        await pause();
        orderOf(sort);
      }
      // One column at a time, each read once and kept by column(), so that
      // a move of a weight waits for one column's decoding at most.
      const entries = data.columns.flatMap((entry) => [entry.values, ...(entry.treated ? [entry.treated.positions, entry.treated.values] : [])]);
      for (const name of EDITION_FIELDS) if (data.editions && data.editions[name]) entries.push(data.editions[name]);
      for (const entry of entries.filter(Boolean)) {
        await pause();
        await column(entry);
      }
      await details();
    },
  };
};

if (typeof WorkerGlobalScope !== "undefined" && self instanceof WorkerGlobalScope) {
  let engine = null;
  self.onmessage = async (event) => {
    const message = event.data;
    if (message.type === "start") {
      // The worker reads its columns itself, while the page reads its own.
      try {
        const column = self.indexfuseColumns(message.text);
        engine = await self.indexfuseEngine(column, message.data, message.folding, message.published);
      } catch (error) {
        self.postMessage({ type: "failed", id: message.id, message: String(error) });
        return;
      }
      self.postMessage({ type: "start", id: message.id, ...engine.start() });
      setTimeout(() => engine.idle(), 0);
      return;
    }
    try {
      if (message.type === "view") {
        const answer = await engine.view(message);
        const transfer = [answer.view.buffer];
        if (answer.composite) transfer.push(answer.composite.buffer, answer.rank.buffer);
        self.postMessage({ type: "view", id: message.id, ...answer }, transfer);
      } else {
        self.postMessage({ type: "unit", id: message.id, ...(await engine.unit(message.position)) });
      }
    } catch (error) {
      // Answered all the same, so that the page says what went wrong instead of waiting.
      self.postMessage({ type: message.type, id: message.id, error: String(error) });
    }
  };
}
