// The page's copy of the server's state. The feed sends the whole state
// first, then differences, each saying the version it starts from; a
// difference that does not start where this copy stands is refused, and
// the page reconnects for the whole state again. What each message changed
// is noted for the drawing, which then touches only that.
"use strict";

(function () {
  const EVENTS_KEPT = 100;  // as many as the server keeps

  function Model() {
    this.version = -1;
    this.time = 0;
    this.clock = "capture";
    this.staleAfter = 5;
    this.tagTimeout = null;
    this.trailLength = 50;
    this.dataAge = null;
    this.fixes = 0;
    this.fixesPerSecond = 0;
    this.invalidFixes = 0;
    this.invalidEvents = 0;
    this.anchors = [];
    this.tags = new Map();  // label -> tag
    this.tagNames = {};
    this.counters = {};
    this.counterLabels = {};
    this.floorPlan = null;
    this.zones = [];
    this.events = [];
    this.feed = { ended: false, text: null };
    this.server = {};
    this.clearChanges();
    this.changes.whole = true;
  }

  Model.prototype.clearChanges = function () {
    this.changes = { whole: false, tags: new Set(), added: 0, removed: new Set(), anchors: false,
                     health: false, names: false, counters: false, floorPlan: false, zones: false,
                     events: false };
  };

  Model.prototype.name = function (label) {
    return this.tagNames[label] || label;
  };

  Model.prototype.isStale = function (tag) {
    return tag.time < this.time - this.staleAfter;
  };

  // Applies one message; false when it is a difference from another
  // version than this copy's (nothing is changed then).
  Model.prototype.apply = function (message) {
    if (message.type === "state") {
      this.whole(message.state);
    } else if (message.type === "delta") {
      if (message.from !== this.version) return false;
      this.delta(message);
    } else {
      return true;  // a kind of message this page does not know: ignored
    }
    if (message.server) this.server = message.server;
    return true;
  };

  Model.prototype.scalars = function (s) {
    this.version = s.version;
    this.time = s.time;
    this.dataAge = s.data_age;
    this.fixes = s.fixes;
    this.fixesPerSecond = s.fixes_per_second;
    this.invalidFixes = s.invalid_fixes;
    this.invalidEvents = s.invalid_events;
  };

  Model.prototype.whole = function (s) {
    this.scalars(s);
    this.clock = s.clock;
    this.staleAfter = s.stale_after;
    this.tagTimeout = s.tag_timeout;
    this.trailLength = s.trail;
    for (const label of this.tags.keys()) this.changes.removed.add(label);
    this.tags = new Map();
    for (const tag of s.tags) {
      this.tags.set(tag.label, copyTag(tag, tag.trail));
      this.changes.removed.delete(tag.label);
    }
    this.parts(s);
    this.events = s.events.slice(-EVENTS_KEPT);
    this.changes.whole = true;
  };

  Model.prototype.delta = function (d) {
    this.scalars(d);
    for (const label of d.removed) {
      if (this.tags.delete(label)) this.changes.removed.add(label);
      this.changes.tags.delete(label);
    }
    for (const change of d.tags) {
      const old = this.tags.get(change.label);
      if (!old) this.changes.added++;
      const trail = (old ? old.trail : []).concat(change.trail_add);
      const tag = copyTag(old ? Object.assign({}, old, change) : change,
                          trail.slice(Math.max(0, trail.length - this.trailLength)));
      this.tags.set(change.label, tag);
      this.changes.tags.add(change.label);
      this.changes.removed.delete(change.label);
    }
    if (d.anchor_health) {
      for (const anchor of this.anchors) {
        const health = d.anchor_health[anchor.label];
        if (health) Object.assign(anchor, health);
      }
      this.changes.health = true;
    }
    this.parts(d);
    if (d.events && d.events.length) {
      this.events = this.events.concat(d.events).slice(-EVENTS_KEPT);
      this.changes.events = true;
    }
  };

  // The parts that come whole in either kind of message, when present.
  Model.prototype.parts = function (s) {
    if ("anchors" in s) { this.anchors = s.anchors.map((a) => Object.assign({}, a));
                          this.changes.anchors = this.changes.health = true; }
    if ("tag_names" in s) { this.tagNames = s.tag_names; this.changes.names = true; }
    if ("counters" in s) { this.counters = s.counters; this.counterLabels = s.counter_labels;
                           this.changes.counters = true; }
    if ("floor_plan" in s) { this.floorPlan = s.floor_plan; this.changes.floorPlan = true; }
    if ("zones" in s) { this.zones = s.zones; this.changes.zones = true;
                        this.changes.events = true; }
    if ("feed" in s) this.feed = s.feed;
  };

  function copyTag(tag, trail) {
    return { label: tag.label, address: tag.address, colour: tag.colour, time: tag.time,
             x: tag.x, y: tag.y, sd: tag.sd, dop: tag.dop, used: tag.used, fixes: tag.fixes,
             rejected: tag.rejected, trail: trail };
  }

  window.qzModel = { Model: Model, EVENTS_KEPT: EVENTS_KEPT };
})();
