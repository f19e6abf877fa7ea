// The status page: polls api/state every second (after the first answer
// with its cursor, so that only what changed comes), and draws the
// problems first, then every poll in a table grouped by link, the links'
// load, the outputs, the events. Every text goes in as text (textContent,
// attribute values), never as markup: names, units and module error texts
// come from the configuration and the modules.
"use strict";

(() => {
  const REFRESH_MS = 1000;
  const HOUR_MS = 3600000;
  const MEANS_EVERY_MS = 300000;
  const LIVE_KEPT = 240;
  const COLLAPSE_ABOVE = 200;  // polls: a larger plant opens with its links folded

  const page = {
    cursor: null,
    offset: 0,            // the gateway's clock minus this browser's
    links: [],            // link summaries, by place
    modules: [],          // modules, by link and place
    events: [],
    rows: new Map(),      // "link/module/poll" -> row
    groups: new Map(),    // link name -> group
    series: new Map(),    // "link/module/poll" -> {means, live}
    aging: new Set(),     // rows whose age grows
    filter: "",
    chart: null,          // {key, hours, data}
    polls: 0,
  };

  // ---- small helpers

  function $(id) { return document.getElementById(id); }

  function el(tag, text, cls) {
    const e = document.createElement(tag);
    if (text !== undefined && text !== null) e.textContent = String(text);
    if (cls) e.className = cls;
    return e;
  }

  function svgEl(tag, attrs) {
    const e = document.createElementNS("http://www.w3.org/2000/svg", tag);
    for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, String(v));
    return e;
  }

  function badge(text, cls) { return el("span", text, "badge " + (cls || text)); }

  function now() { return Date.now() + page.offset; }

  const timeFormat = new Intl.DateTimeFormat(undefined, {
    hour: "2-digit", minute: "2-digit", second: "2-digit", hour12: false});
  const dayFormat = new Intl.DateTimeFormat(undefined, {
    month: "short", day: "numeric", hour: "2-digit", minute: "2-digit", hour12: false});

  // Local time for people, the UTC text in the tooltip.
  function localTime(iso, node) {
    const ms = Date.parse(iso);
    if (!isFinite(ms)) return "";
    if (node) node.title = iso;
    return now() - ms > 20 * HOUR_MS ? dayFormat.format(ms) : timeFormat.format(ms);
  }

  function ageText(s) {
    if (s === undefined || s === null || !isFinite(s)) return "";
    if (s < 60) return s.toFixed(s < 10 ? 1 : 0) + " s";
    if (s < 3600) return (s / 60).toFixed(1) + " min";
    if (s < 86400) return (s / 3600).toFixed(1) + " h";
    return (s / 86400).toFixed(1) + " d";
  }

  function plural(n, word) { return n + " " + word + (n === 1 ? "" : "s"); }

  function percent(x) { return x === null || x === undefined ? "" : Math.round(x * 100) + " %"; }

  function number(v) { return typeof v === "number" ? String(Math.round(v * 1e6) / 1e6) : ""; }

  function withUnit(v, unit) { return number(v) + (unit ? " " + unit : ""); }

  function fill(id) { const t = $(id); t.replaceChildren(); return t; }

  function row(table, cells, head) {
    const tr = el("tr");
    for (const c of cells) {
      const td = el(head ? "th" : "td");
      if (c instanceof Node) td.appendChild(c); else td.textContent = c === null ? "" : String(c);
      tr.appendChild(td);
    }
    table.appendChild(tr);
    return tr;
  }

  function keyOf(link, module, q) { return link.name + "/" + module.name + "/" + q.name; }

  // ---- the state, whole or changed

  async function refresh() {
    try {
      const url = "api/state" + (page.cursor ? "?since=" + encodeURIComponent(page.cursor) : "");
      const r = await fetch(url, {cache: "no-store", credentials: "same-origin"});
      if (!r.ok) throw new Error("HTTP " + r.status);
      apply(await r.json());
      $("note").textContent = "updated " + localTime(page.nowIso, $("note"));
    } catch (e) {
      $("note").textContent = "cannot reach the gateway: " + e.message;
    }
    setTimeout(refresh, REFRESH_MS);
  }

  function apply(s) {
    page.nowIso = s.gateway.now;
    page.offset = Date.parse(s.gateway.now) - Date.now();
    page.cursor = s.cursor;
    page.commands = s.gateway.commands;
    if (!s.changes_only) {
      page.events = [];
      buildPlant(s.links);
    } else {
      mergePlant(s.links);
    }
    page.events = page.events.concat(s.events).slice(-50);
    drawProblems(s);
    drawSummary(s);
    drawLinks();
    drawOutputs(s);
    drawEvents();
    drawGateway(s);
    $("commands").hidden = !s.gateway.commands;
    tickAges();
  }

  function buildPlant(links) {
    page.links = links.map(summaryOf);
    page.modules = links.map((l) => l.modules);
    page.rows.clear();
    page.groups.clear();
    page.aging.clear();
    page.polls = links.reduce((n, l) =>
      n + l.modules.reduce((k, m) => k + m.queries.length, 0), 0);
    const table = $("plant");
    for (const old of table.querySelectorAll("tbody")) old.remove();
    const folded = foldedLinks();
    links.forEach((l, i) => buildGroup(table, l, i, folded));
    applyFilter();
  }

  function mergePlant(links) {
    links.forEach((l, i) => {
      page.links[i] = summaryOf(l);
      for (const m of l.modules) {
        page.modules[i][m.index] = m;
        updateModule(i, m);
      }
      drawGroupHead(page.groups.get(l.name));
    });
    if (page.filter) applyFilter();
  }

  function summaryOf(l) {
    const copy = Object.assign({}, l);
    delete copy.modules;
    return copy;
  }

  // ---- the table, grouped by link

  function foldedLinks() {
    try {
      const saved = JSON.parse(localStorage.getItem("qor.folded") || "null");
      if (Array.isArray(saved)) return new Set(saved);
    } catch (e) { /* no storage: the default */ }
    return page.polls > COLLAPSE_ABOVE ? null : new Set();
  }

  function saveFolded() {
    const folded = [...page.groups.values()].filter((g) => !g.open).map((g) => g.name);
    try { localStorage.setItem("qor.folded", JSON.stringify(folded)); } catch (e) { /* none */ }
  }

  function buildGroup(table, l, i, folded) {
    const head = el("tbody", null, "head");
    head.dataset.link = l.name;
    const tr = el("tr");
    const td = el("td");
    td.colSpan = 7;
    tr.appendChild(td);
    head.appendChild(tr);
    table.appendChild(head);
    const group = {name: l.name, index: i, head, cell: td, bodies: [],
                   open: folded !== null && !folded.has(l.name)};
    page.groups.set(l.name, group);
    head.addEventListener("click", () => toggleGroup(group));
    l.modules.forEach((m) => group.bodies.push(buildModule(table, i, m)));
    drawGroupHead(group);
    showGroup(group);
  }

  function buildModule(table, li, m) {
    const link = page.links[li];
    const body = el("tbody");
    body.id = "module-" + link.name + "-" + m.name;
    for (const q of m.queries) {
      const key = keyOf(link, m, q);
      const tr = el("tr", null, "poll");
      tr.dataset.key = key;
      const cells = [];
      for (let c = 0; c < 7; c++) cells.push(tr.appendChild(el("td")));
      for (const c of [2, 3, 5]) cells[c].className = "num";
      tr.addEventListener("click", () => openChart(key));
      body.appendChild(tr);
      const r = {key, tr, cells, li, mi: m.index, qi: m.queries.indexOf(q), text: ""};
      page.rows.set(key, r);
      fillRow(r, m);
    }
    table.appendChild(body);
    return body;
  }

  function updateModule(li, m) {
    for (const q of m.queries) {
      const r = page.rows.get(keyOf(page.links[li], m, q));
      if (r) fillRow(r, m);
    }
  }

  function drawGroupHead(group) {
    if (!group) return;
    const l = page.links[group.index];
    const modules = page.modules[group.index];
    const online = modules.filter((m) => m.availability === "online").length;
    const td = group.cell;
    td.replaceChildren(el("span", group.open ? "\u25be" : "\u25b8", "caret"), el("span", l.name),
                       el("span", " "), badge(l.state));
    const facts = [online + " of " + modules.length + " modules online"];
    if (l.recent) {
      facts.push("line busy " + percent(l.recent.load) +
                 (l.plan ? " (" + percent(l.plan.load) + " planned)" : ""));
      if (l.recent.skipped) facts.push(percent(l.recent.skipped / l.recent.slots) + " of slots skipped");
    } else if (l.plan) {
      facts.push(percent(l.plan.load) + " of the line planned");
    }
    td.appendChild(el("span", facts.join(" \u00b7 "), "facts"));
  }

  function toggleGroup(group) {
    group.open = !group.open;
    saveFolded();
    drawGroupHead(group);
    showGroup(group);
  }

  // Sparklines are drawn for what is shown; a group that opens draws its own.
  function showGroup(group) {
    const open = group.open || page.filter !== "";
    for (const body of group.bodies) body.hidden = !open || body.dataset.match === "no";
    if (open && !group.shown) {
      for (const r of page.rows.values()) {
        if (r.li === group.index) drawSpark(r, page.modules[r.li][r.mi].queries[r.qi]);
      }
      loadMeans(group);
    }
    group.shown = open;
  }

  function fillRow(r, m) {
    const q = m.queries[r.qi];
    const link = page.links[r.li];
    const c = r.cells;
    const good = q.good;
    const offline = m.availability === "offline";
    const failing = q.status !== null && q.status !== undefined && q.status !== 0;
    r.old = offline || q.stale === true || failing;
    r.good = good;
    c[0].textContent = q.display_name || q.name;
    c[0].title = r.key + " (" + q.query + ")";
    c[1].replaceChildren(el("span", m.name + " "), badge(m.availability));
    c[2].textContent = good ? withUnit(good.value, q.unit) : "\u2014";
    c[2].className = "num" + (r.old ? " old" : "");
    if (good) c[2].title = good.ts; else c[2].removeAttribute("title");
    c[3].textContent = q.limits ? number(q.limits.low) + " \u2026 " + number(q.limits.high) : "";
    c[4].replaceChildren(...statusOf(q, m));
    c[4].className = failing ? "err" : "";
    r.text = [link.name, m.name, q.name, q.display_name, q.query, q.unit, m.availability,
              q.stale ? "stale" : "", failing ? "failing " + (q.outcome || "") : "ok",
              q.alarm ? "alarm " + q.alarm : "", q.error_text].join(" ").toLowerCase();
    if (r.old && good) page.aging.add(r); else page.aging.delete(r);
    if (!r.old) c[5].textContent = good ? "fresh" : "";
    c[5].className = "num" + (r.old ? " old" : "");
    if (good) noteLive(r.key, Date.parse(good.ts), good.value);
    const group = page.groups.get(link.name);
    if (!group || group.shown) drawSpark(r, q);
  }

  function statusOf(q, m) {
    const parts = [];
    if (q.alarm) parts.push(badge(q.alarm + " alarm", "alarm"), el("span", " "));
    if (m.availability === "offline") {
      parts.push(el("span", "offline"));
    } else if (q.status === null || q.status === undefined) {
      parts.push(el("span", "not read yet", "hint"));
    } else if (q.status === 0) {
      parts.push(el("span", q.stale ? "stale" : "ok"));
    } else {
      parts.push(el("span", q.outcome + (q.error_text ? ": " + q.error_text : "")));
    }
    return parts;
  }

  // The age of the last good value grows on its own, between updates.
  function tickAges() {
    const t = now();
    for (const r of page.aging) {
      r.cells[5].textContent = ageText((t - Date.parse(r.good.ts)) / 1000);
    }
  }

  // ---- the filter

  function applyFilter() {
    const words = page.filter.toLowerCase().split(/\s+/).filter(Boolean);
    let shown = 0;
    for (const group of page.groups.values()) {
      for (const body of group.bodies) {
        let any = false;
        for (const tr of body.rows) {
          const r = page.rows.get(tr.dataset.key);
          const match = words.every((w) => r.text.includes(w));
          tr.hidden = !match;
          any = any || match;
          shown += match ? 1 : 0;
        }
        body.dataset.match = any ? "yes" : "no";
      }
      group.head.hidden = !group.bodies.some((b) => b.dataset.match === "yes") &&
                          words.length > 0;
      showGroup(group);
    }
    $("shown").textContent = shown + " of " + page.rows.size + " polls";
  }

  // ---- sparklines: the last hour's minute means, then the values since

  function noteLive(key, ms, value) {
    let s = page.series.get(key);
    if (!s) { s = {means: [], live: []}; page.series.set(key, s); }
    const last = s.live[s.live.length - 1];
    if (last && last[0] === ms) return;
    s.live.push([ms, value]);
    if (s.live.length > LIVE_KEPT) s.live.shift();
  }

  async function loadMeans(group) {
    if (group.meansAt && Date.now() - group.meansAt < MEANS_EVERY_MS) return;
    group.meansAt = Date.now();
    try {
      const r = await fetch("api/history?link=" + encodeURIComponent(group.name) + "&minutes=60",
                            {credentials: "same-origin"});
      if (!r.ok) return;
      const h = await r.json();
      for (const p of h.polls) {
        const key = group.name + "/" + p.module + "/" + p.poll;
        const means = [];
        p.means.forEach((v, i) => { if (v !== null) means.push([h.start + i * h.step + h.step / 2, v]); });
        const s = page.series.get(key) || {means: [], live: []};
        s.means = means;
        page.series.set(key, s);
        const row = page.rows.get(key);
        if (row) drawSpark(row, page.modules[row.li][row.mi].queries[row.qi]);
      }
    } catch (e) { group.meansAt = 0; }
  }

  function sparkPoints(key) {
    const s = page.series.get(key);
    if (!s) return [];
    const from = now() - HOUR_MS;
    const firstLive = s.live.length ? s.live[0][0] : Infinity;
    const points = s.means.filter((p) => p[0] >= from && p[0] < firstLive)
      .concat(s.live.filter((p) => p[0] >= from));
    if (points.length) points.push([now(), points[points.length - 1][1]]);
    return points;
  }

  function drawSpark(r, q) {
    const points = sparkPoints(r.key);
    const svg = svgEl("svg", {class: "spark", viewBox: "0 0 120 22", preserveAspectRatio: "none"});
    if (points.length) {
      const values = points.map((p) => p[1]);
      let lo = Math.min(...values), hi = Math.max(...values);
      if (hi - lo < 1e-9) { lo -= 1; hi += 1; }
      // The last hour, or less while less is known.
      const t0 = Math.max(now() - HOUR_MS, points[0][0]);
      const span = Math.max(now() - t0, 1000);
      const x = (t) => ((t - t0) / span * 118 + 1).toFixed(1);
      const y = (v) => (20 - (v - lo) / (hi - lo) * 18).toFixed(1);
      svg.appendChild(svgEl("polyline", {points: points.map((p) => x(p[0]) + "," + y(p[1])).join(" ")}));
      for (const limit of q.limits ? [q.limits.low, q.limits.high] : []) {
        if (typeof limit === "number" && limit >= lo && limit <= hi) {
          svg.appendChild(svgEl("line", {class: "limit", x1: 0, x2: 120, y1: y(limit), y2: y(limit)}));
        }
      }
      svg.dataset.min = Math.min(...values);
      svg.dataset.max = Math.max(...values);
      svg.dataset.last = values[values.length - 1];
    }
    r.cells[6].replaceChildren(svg);
  }

  // ---- the problems, newest first

  const KIND_WORDS = {link_down: "link down", module_offline: "offline", poll_failing: "failing",
                      stale: "stale", alarm: "alarm", behind: "falls behind", mqtt: "broker",
                      sparkplug: "Sparkplug", modbus: "Modbus", http: "HTTP",
                      homeassistant: "Home Assistant"};

  function drawProblems(s) {
    const list = fill("problems");
    $("problem-count").textContent = s.problems.length ? String(s.problems.length) : "";
    const well = $("all-well");
    well.hidden = s.problems.length > 0;
    if (!s.problems.length) {
      const modules = page.modules.reduce((n, ms) => n + ms.length, 0);
      well.textContent = "Nothing needs attention: " + plural(modules, "module") + " on " +
                         plural(page.links.length, "link") + ".";
    }
    for (const p of s.problems) list.appendChild(problemItem(p));
  }

  function problemItem(p) {
    const li = el("li");
    li.dataset.kind = p.kind;
    li.appendChild(badge(KIND_WORDS[p.kind] || p.kind, p.kind));
    li.appendChild(el("span", p.text, "text"));
    const since = el("span", null, "since");
    since.textContent = "since " + localTime(p.since, since) + " (" +
                        ageText((now() - Date.parse(p.since)) / 1000) + ")";
    li.appendChild(since);
    li.addEventListener("click", () => {
      if (p.poll) openChart(p.link + "/" + p.module + "/" + p.poll);
      else if (p.module || p.link) setFilter([p.link, p.module].filter(Boolean).join(" "));
    });
    return li;
  }

  function setFilter(text) {
    $("filter").value = text;
    page.filter = text.trim();
    applyFilter();
    $("plant-box").scrollIntoView();
  }

  function drawSummary(s) {
    $("id").textContent = s.gateway.client_id;
    const modules = page.modules.flat();
    const online = modules.filter((m) => m.availability === "online").length;
    const up = page.links.filter((l) => l.state === "up").length;
    $("summary").textContent = up + " of " + page.links.length + " links up \u00b7 " + online +
                               " of " + modules.length + " modules online";
  }

  // ---- the links: the bus at a glance

  function loadBar(share, level) {
    const bar = el("span", null, "bar " + level);
    const fillSpan = el("span");
    fillSpan.style.width = Math.min(100, Math.round(share * 100)) + "%";
    bar.appendChild(fillSpan);
    const box = el("span");
    box.append(bar, percent(share));
    return box;
  }

  function drawLinks() {
    const t = fill("links");
    row(t, ["link", "state", "since", "line busy", "planned", "lag", "slots skipped",
            "time-outs", "late replies", "reconnects", "target", "last failure"], true);
    for (const l of page.links) {
      const r = l.recent;
      const planned = l.plan ? l.plan.load : null;
      const level = planned !== null && planned > 1 ? "over" : planned !== null && planned > 0.7 ? "tight" : "";
      const since = el("span");
      since.textContent = localTime(l.since, since);
      row(t, [l.name, badge(l.state), since, r ? loadBar(r.load, level) : "",
              planned !== null ? percent(planned) + " of " + l.plan.baud + " baud" : "measured only",
              r ? ageText(r.lag_s) : "", r ? r.skipped + " of " + r.slots : "",
              r ? r.timeouts : "", r ? r.late_replies : "", l.reconnects, l.target,
              l.last_failure ? l.last_failure : ""]);
    }
  }

  // ---- the outputs: each one's own figures

  const OUTPUT_FACTS = {
    mqtt: (d) => d.broker ? [["broker", d.broker.where], ["connects", d.broker.connects],
                             ["queue", d.queue.messages + " of " + d.queue.capacity],
                             ["dropped", d.queue.dropped]] : [],
    sparkplug: (d) => [["node", d.group_id + "/" + d.edge_node_id], ["broker", d.broker],
                       ["primary host", d.primary_host_id || "none"], ["births", d.births],
                       ["commands taken", d.commands], ["bdSeq", d.bdseq]],
    modbus: (d) => [["listening", d.listening], ["clients", d.clients],
                    ["requests answered", d.requests - d.exceptions], ["refused", d.exceptions],
                    ["connections refused", d.refused_connections]],
    homeassistant: (d) => [["configs", d.configs]],
    http: (d) => [["listening", d.listening]],
  };

  function drawOutputs(s) {
    const t = fill("outputs");
    row(t, ["output", "state", "", "figures"], true);
    for (const o of s.outputs) {
      const word = !o.enabled ? "off" : o.ready ? "ready" : "problem";
      const facts = o.enabled && OUTPUT_FACTS[o.name] ? OUTPUT_FACTS[o.name](o.details) : [];
      const tr = row(t, [o.name, badge(word, !o.enabled ? "unknown" : o.ready ? "ready" : "bad"),
                         o.state, facts.map((f) => f[0] + ": " + f[1]).join(" \u00b7 ")]);
      tr.id = "output-" + o.name;
    }
  }

  function drawEvents() {
    const t = fill("events");
    row(t, ["when", "what"], true);
    for (const e of page.events.slice().reverse()) {
      const when = el("span");
      when.textContent = localTime(e.ts, when);
      row(t, [when, e.text]);
    }
  }

  function drawGateway(s) {
    const t = fill("gateway");
    const started = el("span");
    started.textContent = localTime(s.gateway.started, started);
    row(t, ["version", s.gateway.version]);
    row(t, ["started", started]);
    row(t, ["uptime", ageText(s.gateway.uptime_s)]);
    row(t, ["commands", s.queue.commands_accepted + " accepted, " + s.queue.commands_refused +
                        " refused"]);
  }

  // ---- the chart of one poll: its minutes' range and mean, its last raw
  // readings, and its module's limits

  function openChart(key) {
    const old = page.rows.get(page.chart && page.chart.key);
    if (old) old.tr.classList.remove("selected");
    page.chart = {key, hours: page.chart ? page.chart.hours : 1, data: null};
    const r = page.rows.get(key);
    if (r) r.tr.classList.add("selected");
    const [link, module] = key.split("/");
    $("c-link").value = link;
    $("c-module").value = module;
    $("chart-box").hidden = false;
    $("chart-box").scrollIntoView({block: "nearest"});
    loadChart();
  }

  async function loadChart() {
    const c = page.chart;
    if (!c) return;
    for (const b of $("chart-spans").children) b.classList.toggle("on", Number(b.dataset.hours) === c.hours);
    try {
      const r = await fetch("api/history?poll=" + encodeURIComponent(c.key) + "&hours=" + c.hours,
                            {credentials: "same-origin"});
      const h = await r.json();
      if (!r.ok) throw new Error(h.error || "HTTP " + r.status);
      if (page.chart !== c) return;
      c.data = h;
      drawChart(h);
    } catch (e) {
      $("chart-note").textContent = "no history: " + e.message;
    }
    clearTimeout(c.timer);
    c.timer = setTimeout(loadChart, c.hours === 1 ? 10000 : 60000);
  }

  // The values' range: a limit far outside it is named at the edge, so that
  // a slow creep still shows.
  function chartRange(h) {
    const values = [];
    for (const m of h.minutes) values.push(m[1], m[2]);
    for (const p of h.raw) values.push(p[1]);
    const present = values.filter((v) => typeof v === "number");
    if (!present.length) return null;
    let lo = Math.min(...present), hi = Math.max(...present);
    if (hi - lo < 1e-9) { lo -= 1; hi += 1; }
    const pad = (hi - lo) * 0.05;
    return {lo: lo - pad, hi: hi + pad, values: present};
  }

  // Lines broken where readings are missing for longer than gap.
  function paths(points, x, y, gap) {
    const lines = [];
    let current = [];
    for (let i = 0; i < points.length; i++) {
      if (i > 0 && points[i][0] - points[i - 1][0] > gap) { lines.push(current); current = []; }
      current.push(x(points[i][0]) + "," + y(points[i][1]));
    }
    if (current.length) lines.push(current);
    return lines.map((l) => l.join(" "));
  }

  function drawChart(h) {
    const svg = $("chart");
    svg.replaceChildren();
    const title = (h.name ? h.name + " (" + h.poll + ")" : h.poll) + (h.unit ? ", " + h.unit : "");
    $("chart-title").textContent = title;
    const range = chartRange(h);
    $("chart-note").textContent = range ? "minute range and mean" + (h.raw.length ?
      ", and the last " + h.raw.length + " readings" : "") + "; the history is kept " +
      (h.stored === "disk" ? "on disk" : "in RAM") : "no good reading in this span yet";
    if (!range) return;
    // The span asked for, or the part of it the history covers so far.
    const known = Math.min(...h.minutes.map((m) => m[0]), ...h.raw.map((p) => p[0]));
    h.from = Math.max(h.from, Math.min(known, h.to - 60000));
    const W = 800, H = 260, L = 60, R = 12, T = 10, B = 24;
    const x = (t) => (L + (t - h.from) / (h.to - h.from) * (W - L - R)).toFixed(1);
    const y = (v) => (T + (range.hi - v) / (range.hi - range.lo) * (H - T - B)).toFixed(1);
    drawAxes(svg, h, range, x, y, W, H, L, R, T, B);
    drawSeries(svg, h, x, y);
    drawLimits(svg, h, range, y, L, W - R);
    svg.dataset.min = Math.min(...range.values);
    svg.dataset.max = Math.max(...range.values);
    svg.dataset.raw = h.raw.length;
    svg.dataset.minutes = h.minutes.length;
    svg.onmousemove = (ev) => readout(ev, svg, h, L, R, W);
  }

  function drawAxes(svg, h, range, x, y, W, H, L, R, T, B) {
    for (let i = 0; i <= 4; i++) {
      const v = range.lo + (range.hi - range.lo) * i / 4;
      svg.appendChild(svgEl("line", {class: "grid", x1: L, x2: W - R, y1: y(v), y2: y(v)}));
      const label = svgEl("text", {x: L - 4, y: Number(y(v)) + 4, "text-anchor": "end"});
      label.textContent = number(Math.round(v * 100) / 100);
      svg.appendChild(label);
    }
    const span = h.to - h.from;
    for (let i = 0; i <= 6; i++) {
      const t = h.from + span * i / 6;
      const label = svgEl("text", {x: x(t), y: H - 6, "text-anchor": i === 0 ? "start" : i === 6 ? "end" : "middle"});
      label.textContent = (span > 20 * HOUR_MS ? dayFormat : timeFormat).format(t);
      svg.appendChild(label);
    }
    svg.appendChild(svgEl("line", {class: "axis", x1: L, x2: L, y1: T, y2: H - B}));
    svg.appendChild(svgEl("line", {class: "axis", x1: L, x2: W - R, y1: H - B, y2: H - B}));
  }

  function drawSeries(svg, h, x, y) {
    const minutes = h.minutes.filter((m) => typeof m[3] === "number");
    const gap = 3 * 60000;
    const top = minutes.map((m) => [m[0] + 30000, m[2]]);
    const bottom = minutes.map((m) => [m[0] + 30000, m[1]]);
    let start = 0;
    for (let i = 1; i <= minutes.length; i++) {
      if (i === minutes.length || minutes[i][0] - minutes[i - 1][0] > gap) {
        const up = top.slice(start, i), down = bottom.slice(start, i).reverse();
        const pts = up.concat(down).map((p) => x(p[0]) + "," + y(p[1])).join(" ");
        svg.appendChild(svgEl("polygon", {class: "band", points: pts}));
        start = i;
      }
    }
    for (const p of paths(minutes.map((m) => [m[0] + 30000, m[3]]), x, y, gap)) {
      svg.appendChild(svgEl("polyline", {class: "mean", points: p}));
    }
    const rawGap = Math.max(3 * h.interval_ms, 60000);
    for (const p of paths(h.raw.filter((r) => typeof r[1] === "number"), x, y, rawGap)) {
      svg.appendChild(svgEl("polyline", {class: "raw", points: p}));
    }
  }

  function drawLimits(svg, h, range, y, x1, x2) {
    for (const [name, v, up] of [["high limit", h.limits.high, true], ["low limit", h.limits.low, false]]) {
      if (typeof v !== "number") continue;
      const inside = v >= range.lo && v <= range.hi;
      const at = inside ? Number(y(v)) : up ? 22 : Number(y(range.lo)) - 4;
      if (inside) svg.appendChild(svgEl("line", {class: "limit", x1, x2, y1: at, y2: at}));
      const label = svgEl("text", {class: "limit-label", x: x2 - 2, y: inside ? at - 3 : at,
                                   "text-anchor": "end"});
      label.textContent = (inside ? "" : up ? "\u25b2 " : "\u25bc ") + name + " " + number(v);
      svg.appendChild(label);
    }
  }

  function readout(ev, svg, h, L, R, W) {
    const box = svg.getBoundingClientRect();
    const t = h.from + ((ev.clientX - box.left) / box.width * W - L) / (W - L - R) * (h.to - h.from);
    let best = null;
    for (const p of h.raw) if (!best || Math.abs(p[0] - t) < Math.abs(best[0] - t)) best = p;
    for (const m of h.minutes) {
      if (t >= m[0] && t < m[0] + 60000 && (!best || Math.abs(best[0] - t) > 30000)) {
        best = [m[0], m[3], m[1], m[2]];
      }
    }
    if (!best) return;
    const range = best.length > 2 ? " (" + number(best[2]) + " \u2026 " + number(best[3]) + ")" : "";
    $("chart-readout").textContent = timeFormat.format(best[0]) + ": " + withUnit(best[1], h.unit) + range;
  }

  function closeChart() {
    if (page.chart) clearTimeout(page.chart.timer);
    const r = page.rows.get(page.chart && page.chart.key);
    if (r) r.tr.classList.remove("selected");
    page.chart = null;
    $("chart-box").hidden = true;
  }

  // ---- commands, where the gateway takes them from this page

  async function sendCommand(ev) {
    ev.preventDefault();
    const v = (id) => $(id).value.trim();
    const out = $("c-result");
    try {
      const r = await fetch("api/command", {method: "POST", credentials: "same-origin",
        headers: {"Content-Type": "application/json"},
        body: JSON.stringify({link: v("c-link"), module: v("c-module"), command: v("c-command"),
                              payload: v("c-payload")})});
      const j = await r.json();
      out.textContent = r.ok ? "sent; the result is published on MQTT" : j.error;
    } catch (e) {
      out.textContent = e.message;
    }
  }

  function wire() {
    $("command-form").addEventListener("submit", sendCommand);
    $("filter").addEventListener("input", (ev) => { page.filter = ev.target.value.trim(); applyFilter(); });
    $("expand-all").addEventListener("click", () => setAll(true));
    $("collapse-all").addEventListener("click", () => setAll(false));
    $("chart-close").addEventListener("click", closeChart);
    for (const b of $("chart-spans").children) {
      b.addEventListener("click", () => { if (page.chart) { page.chart.hours = Number(b.dataset.hours); loadChart(); } });
    }
    setInterval(tickAges, 1000);
  }

  function setAll(open) {
    for (const g of page.groups.values()) { g.open = open; drawGroupHead(g); showGroup(g); }
    saveFolded();
  }

  wire();
  refresh();
})();
