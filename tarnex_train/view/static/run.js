// The run page: the loop's curves and a table of its generations, drawn from
// metrics.jsonl and fetched again every few seconds while the loop runs.

import {element, getJSON, nav, query, showError} from "./common.js";
import {lineChart} from "./charts.js";

const POLL_MS = 3000;
const runIndex = Number(query("run") || 0);
let etag = null;
let records = [];

// A rating ladder's fit: player name -> {rating, low, high}, refitted over
// all its games each time, so only the newest one counts.
const FITS = ["ladder", "ratings"];

// The generation line's measures, by key: what each shows, on which chart
// (each chart one scale, read against its own reference), and its column.
const MEASURES = {
  vs_random: {chart: "seat0", label: "vs three random seats, the network in seat 0", column: "vs random (seat 0)"},
  equal_players: {chart: "calibration", label: "equal players in seat 0 (random vs random)",
                  column: "equal players (seat 0)"},
  vs_greedy: {chart: "rotated", label: "vs three greedy seats", column: "vs greedy (rotated)"},
  vs_heldout: {chart: "rotated", label: "vs held-out players (centre, blocker)", column: "vs held-out (rotated)"},
  search_vs_policy: {chart: "rotated", label: "its search vs three of its policy seats",
                     column: "search vs policy (rotated)"},
  vs_previous: {chart: "rotated", label: "vs three seats of the previous generation", column: "vs previous (rotated)"},
  rating: {chart: "rating", label: "rating from seat-0 games against random", column: "rating (seat 0)"},
  gain_vs_previous: {chart: "gain", label: "gain over the previous generation", column: "gain vs previous"},
};
const EQUAL_ROTATED = 0.25;  // a player of one seat against three equal ones, seats rotated

function about(name, kind) {
  const known = MEASURES[name];
  if (known) return known;
  const label = name.replace(/_/g, " ").replace(/\./g, ": ");
  return {chart: kind === "payoff" ? "other payoffs" : "other ratings", label, column: label};
}

// Every interval-shaped entry of a generation line, found wherever it sits
// (fits aside): {mean, low, high} is a payoff (vs_random, vs_greedy,
// vs_previous ...), {rating, low, high} a rating.
function measures(record, prefix = "", out = []) {
  for (const [key, value] of Object.entries(record)) {
    if (!value || typeof value !== "object" || Array.isArray(value) || FITS.includes(key)) continue;
    const name = prefix + key;
    const band = typeof value.low === "number" && typeof value.high === "number";
    const kind = "mean" in value ? "payoff" : typeof value.rating === "number" ? "rating" : null;
    if (kind) out.push({name, kind, y: kind === "payoff" ? value.mean : value.rating,
                        low: band ? value.low : null, high: band ? value.high : null});
    else measures(value, name + ".", out);
  }
  return out;
}

function newestFit(records) {
  for (let i = records.length - 1; i >= 0; i--) {
    for (const key of FITS) {
      const fit = records[i][key];
      if (fit && typeof fit === "object" && Object.values(fit).some((v) => v && typeof v.rating === "number")) {
        return fit;
      }
    }
  }
  return null;
}

// The newest fit on the rating chart: a generation's players ("gen-0005
// policy") as one series per kind of player over the generations, fixed
// players (greedy, lookahead ...) as flat bands across the chart.
function fitSeries(fit, xOfGeneration, xs) {
  if (!fit) return [];
  const kinds = new Map(), fixed = [];
  for (const [name, v] of Object.entries(fit)) {
    if (!v || typeof v.rating !== "number") continue;
    const point = {y: v.rating, low: number(v.low), high: number(v.high)};
    const generation = /^gen-(\d+) (.+)$/.exec(name);
    if (generation) {
      const x = xOfGeneration(Number(generation[1]));
      if (!kinds.has(generation[2])) kinds.set(generation[2], []);
      if (Number.isFinite(x)) kinds.get(generation[2]).push({x, ...point});
    } else if (xs.length) {
      fixed.push({name: `ladder: ${name}`, dashed: true,
                  points: [Math.min(...xs), Math.max(...xs)].map((x) => ({x, ...point}))});
    }
  }
  return [...kinds].map(([kind, points]) => ({name: `ladder: ${kind}`, points: points.sort((a, b) => a.x - b.x)}))
    .concat(fixed);
}

function get(record, path) {
  return path.split(".").reduce((v, k) => (v && typeof v === "object" ? v[k] : undefined), record);
}

function number(value) {
  return typeof value === "number" && Number.isFinite(value) ? value : NaN;
}

function series(rows, x, names, kind) {
  return names.map((name) => ({name: about(name, kind).label, points: rows.map((r) => {
    const m = r.measures.find((m) => m.name === name && m.kind === kind);
    return m ? {x: x(r.record), y: number(m.y), low: number(m.low), high: number(m.high)} : {x: 0, y: NaN};
  })}));
}

function lossNames(lines) {
  return [...new Set(lines.flatMap((r) => Object.keys(r).filter((k) => k.endsWith("_loss"))))];
}

const lossLabel = (key) => key.replace(/_loss$/, " loss").replace(/_/g, " ");

// The newest value of a measure, as a reference line.
function newest(rows, name, label) {
  for (let i = rows.length - 1; i >= 0; i--) {
    const m = rows[i].measures.find((m) => m.name === name);
    if (m && Number.isFinite(number(m.y))) {
      return [{name: `${label}: ${number(m.y).toFixed(3)}`, y: number(m.y), low: number(m.low), high: number(m.high)}];
    }
  }
  return [];
}

function draw() {
  const generations = records.filter((r) => r.kind === "generation").sort((a, b) => a.generation - b.generation);
  const train = records.filter((r) => r.kind === "train");
  const rows = generations.map((record) => ({record, measures: measures(record)}));
  const order = Object.keys(MEASURES);
  const rank = (name) => (order.includes(name) ? order.indexOf(name) : order.length);
  const byKind = (kind, chart = null) =>
    [...new Set(rows.flatMap((r) => r.measures.filter((m) => m.kind === kind).map((m) => m.name)))]
      .filter((name) => chart === null || about(name, kind).chart === chart).sort((a, b) => rank(a) - rank(b));
  const minutes = document.getElementById("axis").value === "minutes";
  const x = minutes ? (r) => number(r.wall_seconds) / 60 : (r) => r.generation;
  const xLabel = minutes ? "wall time (minutes)" : "generation";
  const wholeX = !minutes;
  const charts = document.getElementById("charts");
  charts.replaceChildren();
  const payoffs = (chart) => series(rows, x, byKind("payoff", chart), "payoff");
  const ratings = (chart) => series(rows, x, byKind("rating", chart), "rating");
  const chart = (options) => lineChart(charts, {xLabel, wholeX, ...options});
  chart({title: "Strength in seat 0 against three random seats: mean payoff, 95% interval", yLabel: "payoff",
         series: payoffs("seat0"), yMin: 0, yMax: 1,
         references: newest(rows, "equal_players", "equal players in seat 0")});
  chart({title: "Strength in rotated matches (one seat against three): mean payoff, 95% interval",
         yLabel: "payoff", series: payoffs("rotated"), yMin: 0, yMax: 1,
         references: [{name: `equal players, seats rotated: ${EQUAL_ROTATED}`, y: EQUAL_ROTATED}]});
  if (byKind("payoff", "other payoffs").length) {
    chart({title: "Other payoffs, 95% interval", yLabel: "payoff", series: payoffs("other payoffs"), yMin: 0, yMax: 1});
  }
  chart({title: "Rating from seat-0 games against random (Elo scale, the random player at 0)", yLabel: "rating",
         series: ratings("rating")});
  chart({title: "Gain over the previous generation (Elo scale, from rotated matches)", yLabel: "rating gain",
         series: ratings("gain"), references: [{name: "no gain", y: 0}]});
  const xOfGeneration = (g) => { const r = generations.find((r) => r.generation === g); return r ? x(r) : NaN; };
  const ladder = fitSeries(newestFit(records), xOfGeneration, generations.map(x).filter(Number.isFinite));
  chart({title: "Ladder: Bradley-Terry rating of four-player games (Elo scale, the random player at 0)",
         yLabel: "rating", series: ladder});
  if (byKind("rating", "other ratings").length) {
    chart({title: "Other ratings", yLabel: "rating", series: ratings("other ratings")});
  }
  const heldout = generations.filter((g) => g.heldout && typeof g.total_steps === "number");
  const losses = lossNames(train).map((name) => ({name: `${lossLabel(name)} (train)`,
    points: train.map((r) => ({x: r.total_steps, y: number(r[name])}))}))
    .concat(lossNames(heldout.map((g) => g.heldout)).map((name) => ({name: `${lossLabel(name)} (held out)`,
      dashed: true, points: heldout.map((g) => ({x: g.total_steps, y: number(g.heldout[name])}))})));
  lineChart(charts, {title: "Losses", xLabel: "training steps", yLabel: "cross-entropy", series: losses});
  const perGeneration = (path) => generations.map((g) => ({x: g.generation, y: number(get(g, path))}));
  lineChart(charts, {title: "Policy entropy of held-out positions", xLabel: "generation", yLabel: "nats", wholeX: true,
                     series: [{name: "policy entropy", points: perGeneration("heldout.policy_entropy")}]});
  // The held-out value: how much of what a value can learn it has (0 a
  // uniform guess, 1 the targets' own entropy), and how far it steps.
  const quarter = (q) => generations.map((g) => ({x: g.generation,
                                                  y: number((get(g, "heldout.value_gap_closed_by_quarter") || [])[q])}));
  lineChart(charts, {title: "Held-out value: share of the gap from a uniform guess to the targets' entropy",
                     xLabel: "generation", yLabel: "share closed", wholeX: true, percent: true,
                     series: [{name: "all positions", points: perGeneration("heldout.value_gap_closed")}]
                       .concat([0, 1, 2, 3].map((q) => ({name: `quarter ${q + 1} of the games`, dashed: true,
                                                         points: quarter(q)})))});
  lineChart(charts, {title: "Held-out value's steps from one position to the next", xLabel: "generation",
                     yLabel: "mean change of a seat's value", yMin: 0, wholeX: true,
                     series: [{name: "where the move passes", points: perGeneration("heldout.value_step_at_completion")},
                              {name: "within a turn", dashed: true,
                               points: perGeneration("heldout.value_step_within_turn")}]});
  // Generations whose games asked the network nothing (reference players)
  // have no speed or cache to show: left out, not drawn at 0.
  const usedNetwork = (g) => !(number(get(g, "selfplay.evaluations")) === 0
                               || number(get(g, "selfplay.evaluations_per_second")) === 0);
  const networkGenerations = (path) => perGeneration(path).filter((p, i) => usedNetwork(generations[i]));
  lineChart(charts, {title: "Self-play speed (generations whose games used the network)", xLabel: "generation",
                     yLabel: "evaluations / s", yMin: 0, wholeX: true,
                     series: [{name: "network evaluations per second",
                               points: networkGenerations("selfplay.evaluations_per_second")}]});
  lineChart(charts, {title: "Evaluation cache: share of requests answered without the network", xLabel: "generation",
                     yLabel: "requests", yMin: 0, wholeX: true, percent: true,
                     series: [{name: "cache hit rate", points: networkGenerations("selfplay.cache_hit_rate")}]});
  table(rows, byKind("payoff").concat(byKind("rating")));
  const last = generations[generations.length - 1];
  document.getElementById("status").textContent = last
    ? `${generations.length} generation(s), the newest at ${(number(last.wall_seconds) / 60).toFixed(1)} min`
    : "no generation complete yet";
}

function interval(m) {
  if (!m || !Number.isFinite(number(m.y))) return "";
  const digits = m.kind === "rating" ? 0 : 3;
  const band = Number.isFinite(number(m.low)) ? ` [${m.low.toFixed(digits)}, ${m.high.toFixed(digits)}]` : "";
  return number(m.y).toFixed(digits) + band;
}

function table(rows, names) {
  const fixed = [
    ["generation", (r) => r.generation], ["minutes", (r) => (number(r.wall_seconds) / 60).toFixed(1)],
    ["games", (r) => r.games], ["positions", (r) => r.positions], ["steps", (r) => r.train_steps],
  ];
  const after = [
    ["held-out policy loss", (r) => number(get(r, "heldout.policy_loss")).toFixed(3)],
    ["held-out value loss", (r) => number(get(r, "heldout.value_loss")).toFixed(3)],
    ["policy entropy", (r) => number(get(r, "heldout.policy_entropy")).toFixed(3)],
    ["evaluations/s", (r) => number(get(r, "selfplay.evaluations_per_second")).toFixed(0)],
    ["cache hits", (r) => (100 * number(get(r, "selfplay.cache_hit_rate"))).toFixed(0) + "%"],
  ];
  const box = document.getElementById("generations");
  box.replaceChildren();
  const head = element("tr", {}, element("thead", {}, box));
  for (const [label] of fixed) element("th", {}, head, label);
  for (const name of names) element("th", {}, head, about(name, "payoff").column);
  for (const [label] of after) element("th", {}, head, label);
  const body = element("tbody", {}, box);
  for (const {record, measures} of rows.slice().reverse()) {
    const line = element("tr", {"data-generation": record.generation}, body);
    const cell = (text) => element("td", {}, line, String(text ?? "").replace(/^NaN%?$/, ""));
    for (const [, value] of fixed) cell(value(record));
    for (const name of names) cell(interval(measures.find((m) => m.name === name)));
    for (const [, value] of after) cell(value(record));
  }
}

// Damaged lines of metrics.jsonl are left out by the server; say so.
function showSkipped(notes) {
  const box = document.getElementById("skipped");
  box.hidden = notes.length === 0;
  box.textContent = notes.length ? `${notes.length} line(s) left out: ${notes.slice(0, 3).join("; ")}` : "";
}

async function refresh() {
  try {
    const response = await fetch(`/api/runs/${runIndex}/metrics`, {headers: etag ? {"If-None-Match": etag} : {}});
    if (response.status !== 304) {
      const data = await response.json();
      if (!response.ok) throw new Error(data.error);
      etag = response.headers.get("ETag");
      records = data.records;
      showSkipped(data.skipped || []);
      draw();
    }
    showError(null);
  } catch (error) {
    showError(error);
  }
  setTimeout(refresh, POLL_MS);
}

async function start() {
  nav("run");
  const runs = await getJSON("/api/runs");
  const select = document.getElementById("runs");
  runs.forEach((run) => element("option", {value: run.index}, select, `${run.name} (${run.path})`));
  select.value = runIndex;
  select.addEventListener("change", () => { location.search = `?run=${select.value}`; });
  document.getElementById("axis").addEventListener("change", draw);
  if (!runs.length) {
    showError("no run folder: start the view with --run DIR");
    return;
  }
  refresh();
}

start().catch(showError);
