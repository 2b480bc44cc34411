// Which part of the site the map shows: a centre in site metres and a
// scale in pixels per metre, x to the right and y up. Fitting uses the
// site's fixed parts (anchors, zones, the floor plan), never the fixes,
// so one wild fix cannot shrink the site into a corner.
"use strict";

(function () {
  const MARGIN_PX = 40;        // kept free around the site when fitting
  const SITE_PADDING_M = 1;    // drawn around the site's parts
  const MIN_SCALE = 0.05;      // pixels per metre: 20 km across a 1000 px map
  const MAX_SCALE = 5000;      // 0.2 mm per pixel

  function Viewport() {
    this.width = 1;
    this.height = 1;
    this.cx = 0;
    this.cy = 0;
    this.scale = 1;
    this.auto = true;  // refits as the site or the window changes, until moved
  }

  Viewport.prototype.x = function (x) { return this.width / 2 + (x - this.cx) * this.scale; };
  Viewport.prototype.y = function (y) { return this.height / 2 - (y - this.cy) * this.scale; };
  Viewport.prototype.toSite = function (px, py) {
    return [this.cx + (px - this.width / 2) / this.scale,
            this.cy - (py - this.height / 2) / this.scale];
  };

  Viewport.prototype.resize = function (width, height) {
    const changed = width !== this.width || height !== this.height;
    this.width = Math.max(1, width);
    this.height = Math.max(1, height);
    return changed;
  };

  // Shows `bounds` ({left, right, bottom, top} in metres) whole, centred.
  Viewport.prototype.fit = function (bounds) {
    const left = bounds.left - SITE_PADDING_M, right = bounds.right + SITE_PADDING_M;
    const bottom = bounds.bottom - SITE_PADDING_M, top = bounds.top + SITE_PADDING_M;
    const room = (size) => size - 2 * Math.min(MARGIN_PX, size / 20);
    this.scale = clamp(Math.min(room(this.width) / (right - left),
                                room(this.height) / (top - bottom)));
    this.cx = (left + right) / 2;
    this.cy = (bottom + top) / 2;
  };

  // Zooms by `factor` keeping the site point under (px, py) where it is.
  Viewport.prototype.zoomAt = function (factor, px, py) {
    const before = this.toSite(px, py);
    this.scale = clamp(this.scale * factor);
    const after = this.toSite(px, py);
    this.cx += before[0] - after[0];
    this.cy += before[1] - after[1];
    this.auto = false;
  };

  Viewport.prototype.panBy = function (dx, dy) {
    this.cx -= dx / this.scale;
    this.cy += dy / this.scale;
    this.auto = false;
  };

  Viewport.prototype.centreOn = function (x, y) {
    this.cx = x;
    this.cy = y;
    this.auto = false;
  };

  function clamp(scale) {
    return Math.min(MAX_SCALE, Math.max(MIN_SCALE, scale));
  }

  // The box around the site's fixed parts, or null when it has none.
  function siteBounds(model) {
    const xs = [], ys = [];
    for (const a of model.anchors) { xs.push(a.x); ys.push(a.y); }
    for (const zone of model.zones) {
      for (const p of zone.polygon) { xs.push(p[0]); ys.push(p[1]); }
    }
    const plan = model.floorPlan;
    if (plan) { xs.push(plan.left, plan.right); ys.push(plan.bottom, plan.top); }
    return xs.length ? box(xs, ys) : null;
  }

  // Without a site yet: the tags that are not stale, else the origin.
  function fallbackBounds(model) {
    const xs = [], ys = [];
    for (const tag of model.tags.values()) {
      if (!model.isStale(tag)) { xs.push(tag.x); ys.push(tag.y); }
    }
    return xs.length ? box(xs, ys) : { left: 0, right: 0, bottom: 0, top: 0 };
  }

  function box(xs, ys) {
    let left = Infinity, right = -Infinity, bottom = Infinity, top = -Infinity;
    for (const x of xs) { left = Math.min(left, x); right = Math.max(right, x); }
    for (const y of ys) { bottom = Math.min(bottom, y); top = Math.max(top, y); }
    return { left: left, right: right, bottom: bottom, top: top };
  }

  // A length of 1, 2 or 5 times a power of ten, at most `most` metres.
  function niceLength(most) {
    if (!(most > 0) || !isFinite(most)) return 1;
    const power = Math.pow(10, Math.floor(Math.log10(most)));
    for (const step of [5, 2, 1]) if (step * power <= most) return step * power;
    return power;
  }

  window.qzViewport = { Viewport: Viewport, siteBounds: siteBounds,
                        fallbackBounds: fallbackBounds, niceLength: niceLength,
                        MARGIN_PX: MARGIN_PX };
})();
