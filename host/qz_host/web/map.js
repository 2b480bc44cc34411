// The live map: draws the server's state as it arrives over the WebSocket
// feed and reconnects by itself when the server goes away. Read-only: the
// page never sends anything.
"use strict";

(function () {
  const SVG = "http://www.w3.org/2000/svg";
  const MARGIN_PX = 40;       // kept free around the site
  const SITE_PADDING_M = 1;   // drawn around the anchors
  const RETRY_MIN_MS = 250;
  const RETRY_MAX_MS = 2000;

  const map = document.getElementById("map");
  const status = document.getElementById("status");
  const clock = document.getElementById("clock");
  const tagRows = document.querySelector("#tags tbody");
  const counterRows = document.querySelector("#counters tbody");
  let latest = null;
  let retry = RETRY_MIN_MS;

  // Golden-angle hues: any number of tags, neighbours far apart on the wheel.
  function colour(index) {
    return "hsl(" + ((210 + index * 137.508) % 360).toFixed(1) + ", 72%, 40%)";
  }

  function set(node, attributes) {
    for (const key in attributes) node.setAttribute(key, attributes[key]);
  }

  function element(name, attributes, parent) {
    const node = document.createElementNS(SVG, name);
    set(node, attributes);
    if (parent) parent.appendChild(node);
    return node;
  }

  function fixed(value, digits) {
    return value === null || value === undefined ? "\u2013" : value.toFixed(digits);
  }

  // A length of 1, 2 or 5 times a power of ten, at most `most` metres.
  function niceLength(most) {
    const power = Math.pow(10, Math.floor(Math.log10(most)));
    for (const step of [5, 2, 1]) if (step * power <= most) return step * power;
    return power;
  }

  // Metres to pixels: the anchors and every tag fit, x to the right, y up.
  function projection(state, width, height) {
    const xs = [], ys = [];
    for (const a of state.anchors) { xs.push(a.x); ys.push(a.y); }
    for (const t of state.tags) { xs.push(t.x); ys.push(t.y); }
    if (xs.length === 0) { xs.push(0); ys.push(0); }
    const left = Math.min(...xs) - SITE_PADDING_M, right = Math.max(...xs) + SITE_PADDING_M;
    const bottom = Math.min(...ys) - SITE_PADDING_M, top = Math.max(...ys) + SITE_PADDING_M;
    const scale = Math.max(1e-6, Math.min((width - 2 * MARGIN_PX) / (right - left),
                                          (height - 2 * MARGIN_PX) / (top - bottom)));
    const ox = width / 2 - scale * (left + right) / 2;
    const oy = height / 2 + scale * (bottom + top) / 2;
    return { scale: scale, x: (x) => ox + scale * x, y: (y) => oy - scale * y,
             left: left, right: right, bottom: bottom, top: top };
  }

  // The drawing is kept between updates and changed in place: one node per
  // anchor and per tag, so a marker stays the same element as it moves.
  const layers = {};
  for (const name of ["scale", "anchors", "tags"]) layers[name] = element("g", { class: name }, map);
  const scaleParts = ["bar", "left", "right"].map(() => element("line", {}, layers.scale));
  const scaleLabel = element("text", {}, layers.scale);
  const anchorNodes = new Map();
  const tagNodes = new Map();

  // Nodes for the items of `items`, made by `make` when new; nodes of items
  // that are gone are removed.
  function sync(nodes, items, make) {
    const seen = new Set();
    for (const item of items) {
      seen.add(item.label);
      if (!nodes.has(item.label)) nodes.set(item.label, make(item));
    }
    for (const [label, node] of nodes) {
      if (!seen.has(label)) { node.group.remove(); nodes.delete(label); }
    }
  }

  function drawScale(p, width, height) {
    const metres = niceLength((width - 2 * MARGIN_PX) / 4 / p.scale);
    const length = metres * p.scale;
    set(layers.scale, { "data-metres": metres,
                        transform: "translate(" + MARGIN_PX + "," + (height - 16) + ")" });
    set(scaleParts[0], { x1: 0, y1: 0, x2: length, y2: 0 });
    set(scaleParts[1], { x1: 0, y1: -5, x2: 0, y2: 5 });
    set(scaleParts[2], { x1: length, y1: -5, x2: length, y2: 5 });
    set(scaleLabel, { x: length + 6, y: 4 });
    scaleLabel.textContent = metres + " m";
  }

  function makeAnchor(anchor) {
    const group = element("g", { class: "anchor", "data-address": anchor.label }, layers.anchors);
    // A triangle whose bounding box is centred on the anchor.
    element("polygon", { points: "0,-7 7,7 -7,7" }, group);
    element("text", { x: 9, y: -6 }, group).textContent = anchor.label;
    return { group: group, title: element("title", {}, group) };
  }

  function drawAnchor(p, anchor) {
    const node = anchorNodes.get(anchor.label);
    set(node.group, { transform: "translate(" + p.x(anchor.x) + "," + p.y(anchor.y) + ")" });
    node.title.textContent =
      "anchor " + anchor.label + " at (" + anchor.x.toFixed(2) + ", " + anchor.y.toFixed(2) + ") m";
  }

  function makeTag(tag) {
    const hue = colour(tag.colour);
    const group = element("g", { class: "tag", "data-address": tag.label }, layers.tags);
    return {
      group: group,
      trail: element("polyline", { class: "trail", stroke: hue }, group),
      quality: element("circle", { class: "quality", fill: hue, stroke: hue }, group),
      marker: element("circle", { class: "marker", r: 6, fill: hue }, group),
      label: element("text", { fill: hue }, group),
      title: element("title", {}, group),
    };
  }

  function drawTag(p, tag) {
    const node = tagNodes.get(tag.label);
    const cx = p.x(tag.x), cy = p.y(tag.y);
    node.group.setAttribute("class", tag.stale ? "tag stale" : "tag");
    node.trail.setAttribute("points", tag.trail.map((q) => p.x(q[0]) + "," + p.y(q[1])).join(" "));
    // The quality circle: one standard deviation around the fix.
    set(node.quality, { cx: cx, cy: cy, r: tag.sd === null ? 0 : Math.max(tag.sd * p.scale, 2),
                        visibility: tag.sd === null ? "hidden" : "visible" });
    set(node.marker, { cx: cx, cy: cy });
    set(node.label, { x: cx + 9, y: cy - 8 });
    node.label.textContent = tag.label;
    node.title.textContent =
      "tag " + tag.label + " at (" + tag.x.toFixed(2) + ", " + tag.y.toFixed(2) + ") m, sd " +
      fixed(tag.sd, 3) + " m, DOP " + fixed(tag.dop, 2) + ", last fix " + tag.time.toFixed(1) +
      " s" + (tag.stale ? " (stale)" : "");
  }

  function drawMap(state) {
    const width = map.clientWidth, height = map.clientHeight;
    map.setAttribute("viewBox", "0 0 " + width + " " + height);
    const p = projection(state, width, height);
    drawScale(p, width, height);
    sync(anchorNodes, state.anchors, makeAnchor);
    for (const anchor of state.anchors) drawAnchor(p, anchor);
    sync(tagNodes, state.tags, makeTag);
    for (const tag of state.tags) drawTag(p, tag);
  }

  function row(parent, cells, attributes) {
    const tr = document.createElement("tr");
    for (const key in attributes) tr.setAttribute(key, attributes[key]);
    for (const cell of cells) {
      const td = document.createElement(cell.header ? "th" : "td");
      if (cell.swatch) {
        const dot = document.createElement("span");
        dot.className = "swatch";
        dot.style.background = cell.swatch;
        td.appendChild(dot);
      }
      td.appendChild(document.createTextNode(cell.text));
      tr.appendChild(td);
    }
    parent.appendChild(tr);
    return tr;
  }

  function drawTables(state, server) {
    tagRows.replaceChildren();
    for (const tag of state.tags) {
      const tr = row(tagRows, [
        { text: tag.label, swatch: colour(tag.colour) }, { text: tag.time.toFixed(1) },
        { text: tag.x.toFixed(2) }, { text: tag.y.toFixed(2) }, { text: fixed(tag.sd, 3) },
        { text: fixed(tag.dop, 2) }, { text: String(tag.rejected) },
      ], { "data-address": tag.label });
      if (tag.stale) tr.className = "stale";
    }
    counterRows.replaceChildren();
    const counter = (name, value, detail) => row(counterRows, [
      { text: name.replace(/_/g, " "), header: true },
      { text: typeof value === "number" && !Number.isInteger(value) ? value.toFixed(1) : String(value) },
    ], detail ? { "data-counter": detail, class: "detail" } : { "data-counter": name });
    for (const name in state.counters) {
      const value = state.counters[name];
      if (typeof value === "object") {
        for (const key in value) counter(key, value[key], name + "." + key);
      } else {
        counter(name, value);
      }
    }
    counter("fixes_per_second", state.fixes_per_second);
    counter("invalid_fixes", state.invalid_fixes);
    for (const name in server) counter(name, server[name]);
  }

  function render() {
    if (latest === null) return;
    drawMap(latest.state);
    drawTables(latest.state, latest.server);
    clock.textContent = "t = " + latest.state.time.toFixed(1) + " s";
    document.body.setAttribute("data-version", latest.state.version);
  }

  function setStatus(name, text) {
    status.setAttribute("data-state", name);
    status.textContent = text;
  }

  function connect() {
    const scheme = location.protocol === "https:" ? "wss://" : "ws://";
    const socket = new WebSocket(scheme + location.host + "/feed");
    socket.onopen = function () {
      retry = RETRY_MIN_MS;
      setStatus("live", "live");
    };
    socket.onmessage = function (event) {
      let message;
      try { message = JSON.parse(event.data); } catch (error) { return; }
      if (message.type !== "state") return;
      latest = message;
      render();
    };
    socket.onclose = function () {
      setStatus("down", "reconnecting");
      setTimeout(connect, retry);
      retry = Math.min(2 * retry, RETRY_MAX_MS);
    };
  }

  window.addEventListener("resize", render);
  connect();
})();
