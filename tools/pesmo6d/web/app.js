// The live page of pesmo6d: one card per scale, kept current by the
// gateway's event stream.  Plain script, no dependencies: the daemon serves
// this file from its own binary.
"use strict";

(function () {
  const WINDOW_MS = 60000;      // the plot shows the last minute
  const TICK_MS = 250;          // ages and plots are redrawn this often
  const MAX_POINTS = 3000;      // per scale; 60 s of even a fast indicator
  const STALE_MS = 5000;        // a live scale older than this is marked stale
  const W = 300, H = 80, PAD = 6;  // the plot's viewBox

  // A token in the page's own address is passed on in the query of every
  // request: an EventSource cannot send an Authorization header.
  const token = new URLSearchParams(location.search).get("token");
  function api(path) {
    return token ? path + (path.includes("?") ? "&" : "?") + "token=" + encodeURIComponent(token) : path;
  }

  const main = document.getElementById("scales");
  const link = document.getElementById("link");
  const template = document.getElementById("card");
  const cards = new Map();      // scale name -> card

  function setLink(text, state) {
    link.textContent = text;
    link.dataset.state = state;
  }

  // ---- Cards ---------------------------------------------------------------

  function makeCard(name) {
    const el = template.content.firstElementChild.cloneNode(true);
    el.dataset.scale = name;
    const q = (sel) => el.querySelector(sel);
    const card = {
      el: el,
      name: q(".name"), where: q(".where"), net: q(".net"), unit: q(".unit"),
      motion: q(".badge.motion"), netBadge: q(".badge.net"), overload: q(".badge.overload"),
      age: q(".age"), detail: q(".detail"), error: q(".error"),
      plot: q(".plot"), line: q(".plot .line"), max: q(".max"), min: q(".min"),
      points: [],               // {t: performance.now() time, v: net value, text}
      lastTime: null,           // the reading time of the newest point
      ageAt: 0, ageMs: null,    // age_ms as received, and when
      live: true,
    };
    card.name.textContent = name;
    return card;
  }

  function setText(el, text) {
    if (el.textContent !== text) el.textContent = text;
  }

  function setBadge(el, label, on) {
    el.classList.toggle("on", !!on);
    el.setAttribute("aria-label", label + (on ? " on" : " off"));
  }

  function trimmed(text) {
    return text == null ? "" : String(text).trim();
  }

  // Shows one scale's state (a reading or an error) and adds its net weight
  // to the plot when it is a reading not seen yet.
  function show(card, s) {
    // A snapshot fetched while events went on may be older than the card.
    if (s.time && card.lastTime && s.time < card.lastTime) return;
    const now = performance.now();
    let where = [s.family, s.target].filter(Boolean).join(" · ");
    if (s.mode === "on-demand") where += " · on demand";
    setText(card.where, where);
    card.live = s.mode !== "on-demand";

    const net = trimmed(s.net) || (s.net_value != null ? String(s.net_value) : "");
    setText(card.net, net || "—");
    setText(card.unit, net ? s.unit || "" : "");
    setBadge(card.motion, "motion", s.motion);
    setBadge(card.netBadge, "net", s.net_mode);
    setBadge(card.overload, "overload", s.overload);

    const detail = [];
    if (trimmed(s.gross)) detail.push("gross " + trimmed(s.gross));
    if (trimmed(s.tare)) detail.push("tare " + trimmed(s.tare));
    if (trimmed(s.tag)) detail.push("tag " + trimmed(s.tag));
    if (trimmed(s.total)) detail.push("total " + trimmed(s.total));
    setText(card.detail, detail.join(" · "));

    if (s.error) {
      const since = s.error.since ? new Date(s.error.since) : null;
      let text = s.error.message || "update failed";
      if (s.error.code != null) text += " · code " + s.error.code;
      if (since && !isNaN(since)) text += " · since " + since.toLocaleTimeString();
      setText(card.error, text);
      card.error.hidden = false;
    } else {
      card.error.hidden = true;
      setText(card.error, "");
    }
    card.el.classList.toggle("failing", !!s.error);

    card.ageMs = s.age_ms == null ? null : Number(s.age_ms);
    card.ageAt = now;
    if (s.time && s.time !== card.lastTime && card.ageMs != null) {
      card.lastTime = s.time;
      if (typeof s.net_value === "number" && isFinite(s.net_value)) {
        card.points.push({ t: now - card.ageMs, v: s.net_value, text: net });
        if (card.points.length > MAX_POINTS) card.points.splice(0, card.points.length - MAX_POINTS);
      }
    }
    tickCard(card, now);
  }

  function formatAge(ms) {
    if (ms < 10000) return (Math.max(ms, 0) / 1000).toFixed(1) + " s ago";
    if (ms < 60000) return Math.round(ms / 1000) + " s ago";
    if (ms < 3600000) return Math.floor(ms / 60000) + " min ago";
    return Math.floor(ms / 3600000) + " h ago";
  }

  // Redraws what changes with time alone: the age and the plot.
  function tickCard(card, now) {
    if (card.ageMs == null) {
      setText(card.age, "no reading");
      card.age.classList.remove("stale");
    } else {
      const age = card.ageMs + (now - card.ageAt);
      setText(card.age, formatAge(age));
      card.age.classList.toggle("stale", card.live && age > STALE_MS);
    }
    drawPlot(card, now);
  }

  function drawPlot(card, now) {
    const from = now - WINDOW_MS;
    const pts = card.points;
    let first = 0;
    while (first < pts.length && pts[first].t < from) first++;
    if (first > 0) pts.splice(0, first);

    let lo = null, hi = null;
    for (const p of pts) {
      if (lo === null || p.v < lo.v) lo = p;
      if (hi === null || p.v > hi.v) hi = p;
    }
    let d = "";
    if (pts.length) {
      const span = hi.v - lo.v;
      const y = (v) => span > 0 ? H - PAD - (v - lo.v) / span * (H - 2 * PAD) : H / 2;
      const x = (t) => (t - from) / WINDOW_MS * W;
      d = pts.map((p) => x(p.t).toFixed(1) + "," + y(p.v).toFixed(1)).join(" ");
      // One point alone still shows: a short level stroke up to now.
      if (pts.length === 1) d += " " + W + "," + y(pts[0].v).toFixed(1);
    }
    if (card.line.getAttribute("points") !== d) card.line.setAttribute("points", d);
    card.plot.dataset.points = String(pts.length);
    card.plot.parentNode.classList.toggle("flat", pts.length > 0 && hi.v === lo.v);
    setText(card.max, hi ? hi.text : "");
    setText(card.min, lo && lo !== hi && lo.v !== hi.v ? lo.text : "");
  }

  // Lays the cards out in the gateway's order, keeping the ones known.
  function layout(list) {
    const shown = new Map();
    for (const s of list) {
      const card = cards.get(s.name) || makeCard(s.name);
      shown.set(s.name, card);
      show(card, s);
    }
    cards.clear();
    for (const [name, card] of shown) cards.set(name, card);
    if (list.length) main.replaceChildren(...Array.from(shown.values(), (card) => card.el));
    else main.replaceChildren("This gateway serves no scales.");
  }

  // ---- Talking to the gateway ---------------------------------------------

  let loading = null;

  function load() {
    if (loading) return loading;
    loading = fetch(api("api/scales"), { cache: "no-store" })
      .then((r) => {
        if (!r.ok) {
          return r.json().catch(() => ({})).then((body) => {
            throw new Error(r.status === 401 || r.status === 403
              ? "access refused: open this page with ?token=… in its address"
              : (body.error || "HTTP " + r.status));
          });
        }
        return r.json();
      })
      .then((body) => {
        if (body.gateway) {
          setText(document.getElementById("gateway"), body.gateway);
          document.title = body.gateway + " · scales";
        }
        layout(body.scales || []);
      })
      .finally(() => { loading = null; });
    return loading;
  }

  let source = null;
  let retryMs = 1000;
  let retryTimer = null;

  function onScale(ev) {
    let s;
    try { s = JSON.parse(ev.data); } catch (e) { return; }
    const card = cards.get(s.name);
    if (card) show(card, s);
    else load().catch(() => {});   // a scale this page has not laid out yet
  }

  // The browser reconnects a dropped stream by itself; a stream it gave up
  // on (an error status, a gateway that was down) is opened again here, the
  // waits doubling up to half a minute.
  function connect() {
    clearTimeout(retryTimer);
    if (source) source.close();
    source = new EventSource(api("api/events"));
    source.addEventListener("reading", onScale);
    source.onopen = () => {
      retryMs = 1000;
      setLink("live", "live");
      // Whatever happened while the stream was down: take it in once.
      load().catch((e) => setLink(e.message, "down"));
    };
    // The gateway names its error events "error", the name EventSource
    // also gives a failing stream: an event with data is the gateway's.
    source.onerror = (ev) => {
      if (ev.data) {
        onScale(ev);
        return;
      }
      if (source.readyState === EventSource.CLOSED) {
        setLink("disconnected, retrying in " + Math.round(retryMs / 1000) + " s", "down");
        retryTimer = setTimeout(start, retryMs);
        retryMs = Math.min(retryMs * 2, 30000);
      } else {
        setLink("reconnecting", "down");
      }
    };
  }

  function start() {
    load().then(connect, (e) => {
      setLink(e.message || "gateway unreachable", "down");
      retryTimer = setTimeout(start, retryMs);
      retryMs = Math.min(retryMs * 2, 30000);
    });
  }

  setInterval(() => {
    const now = performance.now();
    for (const card of cards.values()) tickCard(card, now);
  }, TICK_MS);

  start();
})();
