// The live map: draws the server's state as it arrives over the WebSocket
// feed, changing in place only what each message changed, and reconnects
// by itself when the server goes away. Read-only: the page never sends
// anything. A watchdog says so when the data stops, whether the pipeline
// went quiet or the server itself stopped answering.
"use strict";

(function () {
  const SVG = "http://www.w3.org/2000/svg";
  const RETRY_MIN_MS = 250;
  const RETRY_MAX_MS = 2000;
  const NO_DATA_AFTER_S = 2;   // silence before the badge says "no data"
  const WATCH_MS = 250;        // how often the watchdog looks
  const SD_GOOD_M = 0.05;      // quality bands of the ring around a tag
  const SD_FAIR_M = 0.15;
  const RING_PX = 9;           // the ring's radius: a to-scale circle shows beyond it
  const ZOOM_STEP = 1.5;
  const DRAG_PX = 4;           // a press that moves less is a click

  const { Model } = window.qzModel;
  const { Viewport, siteBounds, fallbackBounds, niceLength } = window.qzViewport;

  const map = document.getElementById("map");
  const status = document.getElementById("status");
  const clock = document.getElementById("clock");
  const summary = document.getElementById("summary");
  const tagRows = document.querySelector("#tags tbody");
  const zoneRows = document.querySelector("#zones tbody");
  const anchorRows = document.querySelector("#anchors tbody");
  const counterRows = document.querySelector("#counters tbody");
  const eventList = document.getElementById("events");
  const followBox = document.getElementById("following");
  const followName = document.getElementById("follow-name");

  const model = new Model();
  const view = new Viewport();
  let following = null;       // label of the tag the view follows
  let viewMoved = true;       // the view changed: everything is redrawn
  let renderPending = false;
  let socketOpen = false;
  let receivedAt = null;      // performance.now() of the last message
  let retry = RETRY_MIN_MS;

  // Golden-angle hues: any number of tags, neighbours far apart on the wheel.
  function colour(index) {
    return "hsl(" + ((210 + index * 137.508) % 360).toFixed(1) + ", 72%, 40%)";
  }

  function zoneColour(index) {
    return "hsl(" + ((40 + index * 137.508) % 360).toFixed(1) + ", 65%, 50%)";
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

  function setText(node, text) {
    if (node.textContent !== text) node.textContent = text;
  }

  function fixed(value, digits) {
    return value === null || value === undefined ? "\u2013" : value.toFixed(digits);
  }

  function pad(n) { return (n < 10 ? "0" : "") + n; }

  // Wall-clock times as the time of day here; capture times in seconds.
  function timeText(t) {
    if (model.clock !== "wall") return t.toFixed(1) + " s";
    const d = new Date(t * 1000);
    return pad(d.getHours()) + ":" + pad(d.getMinutes()) + ":" + pad(d.getSeconds());
  }

  function agoText(seconds) {
    const s = Math.max(0, Math.floor(seconds));
    return s < 120 ? s + " s ago" : Math.floor(s / 60) + " min ago";
  }

  function qualityClass(sd) {
    if (sd === null || sd === undefined) return "q-unknown";
    return sd < SD_GOOD_M ? "q-good" : sd < SD_FAIR_M ? "q-fair" : "q-poor";
  }

  function pt(value) { return value.toFixed(1); }

  // The drawing is kept between updates and changed in place: one node
  // per anchor, zone and tag, so a marker stays the same element as it moves.
  const layers = {};
  for (const name of ["floor", "zones", "anchors", "tags", "scale"]) {
    layers[name] = element("g", { class: name }, map);
  }
  const floorImage = element("image", { preserveAspectRatio: "none", visibility: "hidden" },
                             layers.floor);
  const scaleParts = ["bar", "left", "right"].map(() => element("line", {}, layers.scale));
  const scaleLabel = element("text", {}, layers.scale);
  const anchorNodes = new Map();
  const zoneNodes = new Map();
  const tagNodes = new Map();

  function drawScale() {
    const metres = niceLength(Math.max(view.width - 80, view.width / 2) / 4 / view.scale);
    const length = metres * view.scale;
    set(layers.scale, { "data-metres": metres,
                        transform: "translate(16," + (view.height - 16) + ")" });
    set(scaleParts[0], { x1: 0, y1: 0, x2: length, y2: 0 });
    set(scaleParts[1], { x1: 0, y1: -5, x2: 0, y2: 5 });
    set(scaleParts[2], { x1: length, y1: -5, x2: length, y2: 5 });
    set(scaleLabel, { x: length + 6, y: 4 });
    setText(scaleLabel, +metres.toPrecision(3) + " m");
  }

  function drawFloorPlan() {
    const plan = model.floorPlan;
    if (!plan) { floorImage.setAttribute("visibility", "hidden"); return; }
    if (floorImage.getAttribute("href") !== plan.url) floorImage.setAttribute("href", plan.url);
    set(floorImage, { x: pt(view.x(plan.left)), y: pt(view.y(plan.top)),
                      width: pt((plan.right - plan.left) * view.scale),
                      height: pt((plan.top - plan.bottom) * view.scale),
                      visibility: "visible" });
  }

  function centroid(polygon) {
    // The area-weighted centre, where a label sits inside a convex zone.
    let area = 0, x = 0, y = 0;
    for (let i = 0; i < polygon.length; i++) {
      const p = polygon[i], q = polygon[(i + 1) % polygon.length];
      const cross = p[0] * q[1] - q[0] * p[1];
      area += cross; x += (p[0] + q[0]) * cross; y += (p[1] + q[1]) * cross;
    }
    if (Math.abs(area) < 1e-12) return polygon[0];
    return [x / (3 * area), y / (3 * area)];
  }

  function drawZones() {
    const seen = new Set();
    model.zones.forEach((zone, index) => {
      seen.add(zone.name);
      let node = zoneNodes.get(zone.name);
      if (!node) {
        const group = element("g", { class: "zone", "data-zone": zone.name }, layers.zones);
        const hue = zoneColour(index);
        node = { group: group, shape: element("polygon", { fill: hue, stroke: hue }, group),
                 label: element("text", {}, group), title: element("title", {}, group) };
        zoneNodes.set(zone.name, node);
      }
      node.shape.setAttribute("points", zone.polygon.map(
        (p) => pt(view.x(p[0])) + "," + pt(view.y(p[1]))).join(" "));
      const c = centroid(zone.polygon);
      set(node.label, { x: pt(view.x(c[0])), y: pt(view.y(c[1])) });
      const count = zone.occupants.length;
      setText(node.label, zone.name + (count ? " \u00b7 " + count : ""));
      node.group.setAttribute("class", count ? "zone occupied" : "zone");
      setText(node.title, "zone " + zone.name + ": " + (count ? zone.occupants.map(
        (l) => model.name(l)).join(", ") : "empty"));
    });
    for (const [name, node] of zoneNodes) {
      if (!seen.has(name)) { node.group.remove(); zoneNodes.delete(name); }
    }
  }

  function anchorQuiet(anchor) {
    return anchor.heard === null || anchor.heard === undefined ||
           anchor.heard < model.time - model.staleAfter;
  }

  function drawAnchors() {
    const seen = new Set();
    for (const anchor of model.anchors) {
      seen.add(anchor.label);
      let node = anchorNodes.get(anchor.label);
      if (!node) {
        const group = element("g", { class: "anchor", "data-address": anchor.label },
                              layers.anchors);
        // A triangle whose bounding box is centred on the anchor.
        element("polygon", { points: "0,-7 7,7 -7,7" }, group);
        node = { group: group, label: element("text", { x: 9, y: -6 }, group),
                 title: element("title", {}, group) };
        anchorNodes.set(anchor.label, node);
      }
      set(node.group, { transform: "translate(" + pt(view.x(anchor.x)) + "," +
                                   pt(view.y(anchor.y)) + ")",
                        class: anchorQuiet(anchor) ? "anchor quiet" : "anchor" });
      setText(node.label, anchor.name || anchor.label);
      setText(node.title, "anchor " + (anchor.name ? anchor.name + " (" + anchor.label + ")"
                                                   : anchor.label) +
              " at (" + anchor.x.toFixed(2) + ", " + anchor.y.toFixed(2) + ") m");
    }
    for (const [label, node] of anchorNodes) {
      if (!seen.has(label)) { node.group.remove(); anchorNodes.delete(label); }
    }
  }

  function makeTag(tag) {
    const hue = colour(tag.colour);
    const group = element("g", { class: "tag", "data-address": tag.label }, layers.tags);
    return {
      group: group,
      trail: element("polyline", { class: "trail", stroke: hue }, group),
      quality: element("circle", { class: "quality", fill: hue, stroke: hue }, group),
      ring: element("circle", { class: "ring", r: RING_PX }, group),
      marker: element("circle", { class: "marker", r: 6, fill: hue }, group),
      label: element("text", { fill: hue }, group),
      title: element("title", {}, group),
      stale: null,
    };
  }

  function drawTag(tag, position) {
    let node = tagNodes.get(tag.label);
    if (!node) { node = makeTag(tag); tagNodes.set(tag.label, node); position = true; }
    const stale = model.isStale(tag);
    const className = "tag" + (stale ? " stale" : "") + (following === tag.label ? " followed" : "");
    if (node.group.getAttribute("class") !== className) node.group.setAttribute("class", className);
    if (position) {
      const cx = pt(view.x(tag.x)), cy = pt(view.y(tag.y));
      node.trail.setAttribute("points", tag.trail.map(
        (q) => pt(view.x(q[0])) + "," + pt(view.y(q[1]))).join(" "));
      // One standard deviation to scale, where it reaches beyond the ring.
      const r = tag.sd === null ? 0 : tag.sd * view.scale;
      set(node.quality, { cx: cx, cy: cy, r: pt(r), visibility: r > RING_PX ? "visible" : "hidden" });
      set(node.ring, { cx: cx, cy: cy, class: "ring " + qualityClass(tag.sd) });
      set(node.marker, { cx: cx, cy: cy });
      set(node.label, { x: pt(view.x(tag.x) + 10), y: pt(view.y(tag.y) - 9) });
      setText(node.label, model.name(tag.label));
    }
    setText(node.title,
      "tag " + tagTitle(tag.label) + " at (" + tag.x.toFixed(2) + ", " + tag.y.toFixed(2) +
      ") m, sd " + fixed(tag.sd === null ? null : tag.sd * 100, 1) + " cm, DOP " +
      fixed(tag.dop, 2) + ", last seen " + agoText(model.time - tag.time) +
      (stale ? " (stale)" : ""));
  }

  function tagTitle(label) {
    const name = model.tagNames[label];
    return name ? name + " (" + label + ")" : label;
  }

  // -- the side panel ------------------------------------------------------

  function cellRow(parent, count, attributes, before) {
    const tr = document.createElement("tr");
    for (const key in attributes) tr.setAttribute(key, attributes[key]);
    const cells = [];
    for (let i = 0; i < count; i++) cells.push(tr.appendChild(document.createElement("td")));
    parent.insertBefore(tr, before || null);
    return { tr: tr, cells: cells };
  }

  const tagRowNodes = new Map();

  function zonesOf(label) {
    return model.zones.filter((z) => z.occupants.indexOf(label) >= 0).map((z) => z.name);
  }

  function drawTagRow(tag) {
    let row = tagRowNodes.get(tag.label);
    if (!row) {
      // In address order, as the server lists them.
      let before = null;
      for (const [label, other] of tagRowNodes) {
        if (label > tag.label && (before === null || label < before.label)) {
          before = { label: label, tr: other.tr };
        }
      }
      row = cellRow(tagRows, 8, { "data-address": tag.label }, before && before.tr);
      const dot = document.createElement("span");
      dot.className = "swatch";
      dot.style.background = colour(tag.colour);
      row.cells[0].appendChild(dot);
      row.name = row.cells[0].appendChild(document.createTextNode(""));
      row.cells[6].className = row.cells[7].className = "wide";
      row.tr.addEventListener("click", () => follow(tag.label));
      tagRowNodes.set(tag.label, row);
    }
    const stale = model.isStale(tag);
    if (row.tr.classList.contains("stale") !== stale) row.tr.classList.toggle("stale", stale);
    if (row.name.data !== model.name(tag.label)) row.name.data = model.name(tag.label);
    row.cells[0].title = tagTitle(tag.label);
    const zones = zonesOf(tag.label);
    const texts = [null, agoText(model.time - tag.time), zones.length ? zones.join(", ") : "\u2013",
                   tag.x.toFixed(2), tag.y.toFixed(2),
                   fixed(tag.sd === null ? null : tag.sd * 100, 1), fixed(tag.dop, 2),
                   String(tag.rejected)];
    for (let i = 1; i < texts.length; i++) setText(row.cells[i], texts[i]);
  }

  function drawZoneTable() {
    zoneRows.replaceChildren();
    for (const zone of model.zones) {
      const row = cellRow(zoneRows, 4, { "data-zone": zone.name });
      row.cells[0].textContent = zone.name;
      row.cells[1].textContent = zone.occupants.length ?
        zone.occupants.map((l) => model.name(l)).join(", ") : "\u2013";
      row.cells[2].textContent = String(zone.entries);
      row.cells[3].textContent = String(zone.exits);
    }
    document.getElementById("zones-section").hidden = model.zones.length === 0;
  }

  function drawEvents() {
    eventList.replaceChildren();
    for (let i = model.events.length - 1; i >= 0; i--) {
      const e = model.events[i];
      const li = document.createElement("li");
      li.setAttribute("data-event", e.event);
      const when = document.createElement("time");
      when.textContent = timeText(e.time);
      li.appendChild(when);
      li.appendChild(document.createTextNode(
        " " + model.name(e.tag) + (e.event === "enter" ? " entered " : " left ") + e.zone));
      eventList.appendChild(li);
    }
  }

  const anchorRowNodes = new Map();

  function drawAnchorTable() {
    const seen = new Set();
    for (const anchor of model.anchors) {
      seen.add(anchor.label);
      let row = anchorRowNodes.get(anchor.label);
      if (!row) {
        row = cellRow(anchorRows, 4, { "data-address": anchor.label });
        anchorRowNodes.set(anchor.label, row);
      }
      const quiet = anchorQuiet(anchor);
      if (row.tr.classList.contains("quiet") !== quiet) row.tr.classList.toggle("quiet", quiet);
      setText(row.cells[0], anchor.name ? anchor.name + " (" + anchor.label + ")" : anchor.label);
      setText(row.cells[1], anchor.heard === null ? "never" : agoText(model.time - anchor.heard));
      setText(row.cells[2], String(anchor.ranges_used));
      setText(row.cells[3], anchor.used_share === null ? "\u2013"
                            : Math.round(anchor.used_share * 100) + " %");
    }
    for (const [label, row] of anchorRowNodes) {
      if (!seen.has(label)) { row.tr.remove(); anchorRowNodes.delete(label); }
    }
  }

  function counterText(value) {
    return typeof value === "number" && !Number.isInteger(value) ? value.toFixed(1) : String(value);
  }

  function counterLabel(name) {
    return model.counterLabels[name] || name.replace(/_/g, " ");
  }

  // A counter keyed by a tag's label is shown by the tag's name.
  function detailLabel(group, key) {
    const full = group + "." + key;
    if (model.counterLabels[full]) return model.counterLabels[full];
    if (/^[0-9A-F]{4}$/.test(key)) return "tag " + tagTitle(key);
    return key.replace(/_/g, " ");
  }

  const counterRowNodes = new Map();

  function counterRow(key, label, value, kind) {
    let row = counterRowNodes.get(key);
    if (!row) {
      const tr = document.createElement("tr");
      const th = tr.appendChild(document.createElement("th"));
      if (kind === "group") {
        tr.setAttribute("data-counter-group", key);
        tr.className = "group";
        th.colSpan = 2;
        row = { tr: tr, th: th, td: null };
      } else {
        tr.setAttribute("data-counter", key);
        if (kind === "detail") tr.className = "detail";
        row = { tr: tr, th: th, td: tr.appendChild(document.createElement("td")) };
      }
      counterRowNodes.set(key, row);
    }
    setText(row.th, label);
    if (row.td) setText(row.td, counterText(value));
    return key;
  }

  let counterOrder = "";

  function drawCounters() {
    const order = [];
    for (const name in model.counters) {
      const value = model.counters[name];
      if (value !== null && typeof value === "object") {
        order.push(counterRow("group:" + name, counterLabel(name), null, "group"));
        for (const key in value) {
          order.push(counterRow(name + "." + key, detailLabel(name, key), value[key], "detail"));
        }
      } else {
        order.push(counterRow(name, counterLabel(name), value));
      }
    }
    order.push(counterRow("fixes_per_second", "fixes per second", model.fixesPerSecond));
    order.push(counterRow("invalid_fixes", "invalid fixes", model.invalidFixes));
    order.push(counterRow("invalid_events", "invalid events", model.invalidEvents));
    for (const name in model.server) {
      order.push(counterRow(name, "map " + name.replace(/_/g, " "), model.server[name]));
    }
    const seen = new Set(order);
    for (const [key, row] of counterRowNodes) {
      if (!seen.has(key)) { row.tr.remove(); counterRowNodes.delete(key); }
    }
    // Rows are put in order only when the counters themselves change.
    const text = order.join("\n");
    if (text !== counterOrder) {
      for (const key of order) counterRows.appendChild(counterRowNodes.get(key).tr);
      counterOrder = text;
    }
  }

  // -- drawing what changed ------------------------------------------------

  function requestRender() {
    if (renderPending) return;
    renderPending = true;
    window.requestAnimationFrame(render);
  }

  function render() {
    renderPending = false;
    const changes = model.changes;
    model.clearChanges();
    const width = map.clientWidth, height = map.clientHeight;
    if (view.resize(width, height) || changes.whole) {
      map.setAttribute("viewBox", "0 0 " + view.width + " " + view.height);
      viewMoved = true;
    }
    if (view.auto && (viewMoved || changes.anchors || changes.zones || changes.floorPlan ||
                      (changes.added && siteBounds(model) === null))) {
      view.fit(siteBounds(model) || fallbackBounds(model));
      view.auto = true;
      viewMoved = true;
    }
    if (following !== null) {
      const tag = model.tags.get(following);
      if (!tag) {
        unfollow();
      } else if (changes.tags.has(following) || viewMoved) {
        view.centreOn(tag.x, tag.y);
        viewMoved = true;
      }
    }
    const moved = viewMoved;
    viewMoved = false;
    if (moved || changes.floorPlan) drawFloorPlan();
    if (moved || changes.zones || changes.names) drawZones();
    if (moved || changes.anchors || changes.health || changes.whole) drawAnchors();
    for (const label of changes.removed) {
      const node = tagNodes.get(label);
      if (node) { node.group.remove(); tagNodes.delete(label); }
      const row = tagRowNodes.get(label);
      if (row) { row.tr.remove(); tagRowNodes.delete(label); }
    }
    for (const tag of model.tags.values()) {
      drawTag(tag, moved || changes.names || changes.tags.has(tag.label));
      drawTagRow(tag);
    }
    if (moved) drawScale();
    if (changes.zones || changes.names || changes.whole) drawZoneTable();
    if (changes.events || changes.names || changes.whole) drawEvents();
    drawAnchorTable();
    drawCounters();
    setText(document.getElementById("tag-count"), String(model.tags.size));
    setText(clock, model.clock === "wall" ? timeText(model.time) : "t = " + timeText(model.time));
    setText(summary, model.tags.size + " tags, " + model.fixesPerSecond.toFixed(1) + " fixes/s");
    document.body.setAttribute("data-version", model.version);
    watch();
  }

  // -- following, zooming, panning -----------------------------------------

  function follow(label) {
    following = label;
    followName.textContent = model.name(label);
    followBox.hidden = false;
    document.body.setAttribute("data-following", label);
    viewMoved = true;
    requestRender();
  }

  function unfollow() {
    if (following === null) return;
    const node = tagNodes.get(following);
    if (node) node.group.classList.remove("followed");
    following = null;
    followBox.hidden = true;
    document.body.removeAttribute("data-following");
  }

  function moveView(change) {
    change();
    viewMoved = true;
    requestRender();
  }

  function zoomCentre(factor) {
    moveView(() => view.zoomAt(factor, view.width / 2, view.height / 2));
  }

  function fit() {
    unfollow();
    view.auto = true;
    moveView(() => {});
  }

  function toggle(button, className) {
    const on = button.getAttribute("aria-pressed") !== "true";
    button.setAttribute("aria-pressed", String(on));
    map.classList.toggle(className, !on);
  }

  document.getElementById("zoom-in").addEventListener("click", () => zoomCentre(ZOOM_STEP));
  document.getElementById("zoom-out").addEventListener("click", () => zoomCentre(1 / ZOOM_STEP));
  document.getElementById("fit").addEventListener("click", fit);
  document.getElementById("unfollow").addEventListener("click", unfollow);
  const trailsButton = document.getElementById("trails");
  const labelsButton = document.getElementById("labels");
  trailsButton.addEventListener("click", () => toggle(trailsButton, "hide-trails"));
  labelsButton.addEventListener("click", () => toggle(labelsButton, "hide-labels"));
  document.addEventListener("keydown", (event) => {
    if (event.ctrlKey || event.metaKey || event.altKey) return;
    if (event.key === "+" || event.key === "=") zoomCentre(ZOOM_STEP);
    else if (event.key === "-") zoomCentre(1 / ZOOM_STEP);
    else if (event.key === "0") fit();
  });

  function mapPoint(event) {
    const box = map.getBoundingClientRect();
    return [event.clientX - box.left, event.clientY - box.top];
  }

  map.addEventListener("wheel", (event) => {
    event.preventDefault();
    const p = mapPoint(event);
    const lines = event.deltaMode === 1 ? 33 : event.deltaMode === 2 ? 400 : 1;
    moveView(() => view.zoomAt(Math.exp(-event.deltaY * lines * 0.002), p[0], p[1]));
  }, { passive: false });

  // One pointer drags the map (or clicks a tag); two pinch it.
  const pointers = new Map();
  let press = null;
  map.addEventListener("pointerdown", (event) => {
    pointers.set(event.pointerId, mapPoint(event));
    map.setPointerCapture(event.pointerId);
    const tag = event.target.closest ? event.target.closest(".tag") : null;
    press = pointers.size === 1 ? { at: mapPoint(event), moved: false,
                                    tag: tag ? tag.getAttribute("data-address") : null } : null;
  });
  map.addEventListener("pointermove", (event) => {
    const last = pointers.get(event.pointerId);
    if (!last) return;
    const now = mapPoint(event);
    if (pointers.size === 2) {
      const other = [...pointers.entries()].find(([id]) => id !== event.pointerId)[1];
      const before = Math.hypot(last[0] - other[0], last[1] - other[1]);
      const after = Math.hypot(now[0] - other[0], now[1] - other[1]);
      if (before > 0) {
        moveView(() => view.zoomAt(after / before, (now[0] + other[0]) / 2,
                                   (now[1] + other[1]) / 2));
      }
    } else if (press) {
      if (!press.moved && Math.hypot(now[0] - press.at[0], now[1] - press.at[1]) < DRAG_PX) return;
      press.moved = true;
      unfollow();
      moveView(() => view.panBy(now[0] - last[0], now[1] - last[1]));
    }
    pointers.set(event.pointerId, now);
  });
  function release(event) {
    pointers.delete(event.pointerId);
    if (press && !press.moved && press.tag && event.type === "pointerup") follow(press.tag);
    press = null;
  }
  map.addEventListener("pointerup", release);
  map.addEventListener("pointercancel", release);

  // -- the feed and its watchdog -------------------------------------------

  function setStatus(name, text) {
    if (status.getAttribute("data-state") !== name) status.setAttribute("data-state", name);
    setText(status, text);
  }

  // The badge says "live" only while data keeps coming: the server
  // reports how long its pipeline has been silent, and the silence of the
  // server itself (frozen, or its network) adds to that here.
  function watch() {
    if (!socketOpen || receivedAt === null) return;
    const silent = (performance.now() - receivedAt) / 1000;
    if (model.feed.ended) {
      if (silent >= NO_DATA_AFTER_S) setStatus("stalled", "no data for " + Math.floor(silent) + " s");
      else setStatus("ended", model.feed.text);
    } else if (model.dataAge === null) {
      if (silent >= NO_DATA_AFTER_S) setStatus("stalled", "no data for " + Math.floor(silent) + " s");
      else setStatus("waiting", "waiting for data");
    } else {
      const age = model.dataAge + silent;
      if (age >= NO_DATA_AFTER_S) setStatus("stalled", "no data for " + Math.floor(age) + " s");
      else setStatus("live", "live");
    }
  }

  function connect() {
    const scheme = location.protocol === "https:" ? "wss://" : "ws://";
    const socket = new WebSocket(scheme + location.host + "/feed");
    socket.onopen = function () {
      retry = RETRY_MIN_MS;
      socketOpen = true;
      receivedAt = null;
    };
    socket.onmessage = function (event) {
      let message;
      try { message = JSON.parse(event.data); } catch (error) { return; }
      if (!model.apply(message)) {
        socket.close();  // out of step: reconnect for the whole state
        return;
      }
      receivedAt = performance.now();
      requestRender();
    };
    socket.onclose = function () {
      socketOpen = false;
      setStatus("down", "reconnecting");
      setTimeout(connect, retry);
      retry = Math.min(2 * retry, RETRY_MAX_MS);
    };
  }

  window.addEventListener("resize", requestRender);
  if (window.ResizeObserver) new ResizeObserver(requestRender).observe(map);
  setInterval(watch, WATCH_MS);
  connect();
})();
