// The games page: recorded self-play games of a generation and games saved
// from the play page, replayed tile by tile or piece by piece, with each
// position's shares over its legal tiles, named for what they are.

import {Board, SEAT_NAMES, drawSeats, element, getJSON, nav, owners, query, showError, tileName}
  from "./common.js";

const PLAY_MS = {tile: 120, piece: 400};
// What a position's shares are, as shards (policy targets) and saved games
// (what a computer seat saw) record it; null: a shard from before that.
const SHARES = {visits: "the search's visit shares", completed_q: "the search's improved policy (completed Q)",
                policy: "the network's policy", placement: "the rest of the placement the player chose"};

function sharesName(kind) {
  if (kind === null || kind === undefined) return "the policy target";
  if (kind.startsWith("teacher:")) return `the ${kind.slice(8)} teacher's target`;
  return SHARES[kind] || kind;
}

// The heat map's label: what the shares at move k are, or (where that move
// has none) every kind the game shows.
function heatLabel(k) {
  const kinds = game.kinds || [];
  const here = game.shares[k] ? [kinds[k]] : [...new Set(game.shares.map((s, i) => (s ? kinds[i] : undefined))
    .filter((kind) => kind !== undefined))];
  return here.length ? `heat map: ${here.map(sharesName).join(" / ")}` : "heat map: no shares recorded";
}
const runIndex = Number(query("run") || 0);
const board = new Board(document.getElementById("board"));
let pieces = [];
let game = null;  // the replay shown
let at = 0;  // moves played
let player = null;

function stateAt(k) {
  let state = game.states[0];
  for (const s of game.states) if (s.moves <= k) state = s;
  return state;
}

function show(k) {
  at = Math.max(0, Math.min(game.moves.length, k));
  const moves = game.moves;
  let pieceStart = at;
  while (pieceStart > 0 && !moves[pieceStart - 1][2]) pieceStart--;
  let lastPiece = [];
  if (at > 0) {  // the tiles of the newest piece (or the one under way)
    let start = at - 1;
    while (start > 0 && !moves[start - 1][2]) start--;
    lastPiece = moves.slice(start, at).map((m) => m[1]);
  }
  board.setOwners(owners(moves, at), lastPiece);
  board.clearOverlay();
  const info = document.getElementById("move-info");
  if (at < moves.length) {
    const [seat, tile] = moves[at];
    const shares = game.shares[at];
    const what = sharesName((game.kinds || [])[at]);
    if (shares && document.getElementById("heat").checked) board.heat(shares, tile, what);
    else board.ring(tile);
    const share = shares ? shares.find(([t]) => t === tile) : null;
    info.textContent = `next: seat ${seat} (${SEAT_NAMES[seat]}) plays ${tileName(tile)}` +
      (share ? `, ${(100 * share[1]).toFixed(1)}% of ${what}` : "") +
      (moves[at][2] ? "; this tile completes the piece" : "");
  } else {
    info.textContent = `game over: payoff ${game.payoff.map((p) => p.toFixed(2)).join(" / ")}`;
  }
  document.getElementById("heat-label").textContent = heatLabel(Math.min(at, moves.length - 1));
  const state = stateAt(at);
  drawSeats(document.getElementById("seats"), {seats: game.seats, scores: state.scores, remaining: state.remaining,
    pieces, mover: at < moves.length ? moves[at][0] : null, payoff: at === moves.length ? game.payoff : null});
  document.getElementById("slider").value = at;
  document.getElementById("jump").value = at;
  document.body.dataset.at = at;
}

// The move index `steps` pieces away (a piece ends at a completing tile).
function pieceStep(steps) {
  let k = at;
  const moves = game.moves;
  if (steps > 0) {
    while (k < moves.length && !moves[k][2]) k++;
    return Math.min(moves.length, k + 1);
  }
  k = Math.max(0, k - 1);
  while (k > 0 && !moves[k - 1][2]) k--;
  return k;
}

function stop() {
  clearInterval(player);
  player = null;
  document.getElementById("play").textContent = "▶ play";
}

function togglePlay() {
  if (player) return stop();
  if (at >= game.moves.length) show(0);
  const unit = document.getElementById("unit").value;
  document.getElementById("play").textContent = "⏸ pause";
  player = setInterval(() => {
    show(unit === "piece" ? pieceStep(1) : at + 1);
    if (at >= game.moves.length) stop();
  }, PLAY_MS[unit]);
}

async function openGame(url) {
  stop();
  const data = await getJSON(url);
  document.getElementById("title").textContent = data.title;
  if (!data.usable) {
    game = null;
    document.getElementById("controls").hidden = true;
    document.getElementById("title").textContent += `: no replayable history (${data.moves ?? "?"} records)`;
    return;
  }
  game = data;
  document.getElementById("controls").hidden = false;
  document.getElementById("slider").max = game.moves.length;
  document.getElementById("jump").max = game.moves.length;
  document.getElementById("total").textContent = game.moves.length;
  show(0);
}

function winners(payoff) {
  if (!payoff) return "";
  const best = Math.max(...payoff);
  return payoff.map((p, seat) => (p === best ? SEAT_NAMES[seat] : null)).filter(Boolean).join(", ");
}

function gameRow(table, cells, url, usable) {
  const row = element("tr", {class: usable ? "game" : "game unusable"}, table);
  for (const text of cells) element("td", {}, row, text);
  row.addEventListener("click", () => {
    for (const other of table.querySelectorAll("tr.selected")) other.classList.remove("selected");
    row.classList.add("selected");
    openGame(url).catch(showError);
  });
  return row;
}

async function listGames() {
  const source = document.getElementById("source").value;
  const table = document.getElementById("games");
  table.replaceChildren();
  if (source === "") return;
  if (source === "saved") {
    element("tr", {}, table).innerHTML = "<th>saved game</th><th>scores</th>";
    const {games} = await getJSON(`/api/runs/${runIndex}/saved`);
    for (const g of games) {
      // A damaged file comes as unusable, with its reason: shown, never run on.
      const name = String(g.name);
      const scores = g.usable && Array.isArray(g.scores) ? g.scores.join(" / ") : "left out";
      const row = gameRow(table, [name.replace(/\.json$/, ""), scores],
                          `/api/runs/${runIndex}/saved/${encodeURIComponent(name)}`, g.usable);
      row.dataset.name = name;
      row.title = g.usable && Array.isArray(g.seats) ? g.seats.join(", ") : String(g.reason || "unreadable");
    }
    const wanted = query("saved");
    const row = wanted && table.querySelector(`tr[data-name="${CSS.escape(wanted)}"]`);
    if (row) row.click();
    return;
  }
  element("tr", {}, table).innerHTML = "<th>game</th><th>tiles</th><th>won by</th>";
  const {games, skipped} = await getJSON(`/api/runs/${runIndex}/generations/${source}/games`);
  for (const s of skipped || []) {
    const note = element("tr", {class: "skipped"}, table);
    element("td", {colspan: 3}, note, `left out: ${s.reason}`);
  }
  for (const g of games) {
    const row = gameRow(table, [g.number, g.usable ? g.moves : `${g.moves} (no replay)`, winners(g.payoff)],
                        `/api/runs/${runIndex}/generations/${source}/games/${encodeURIComponent(g.shard)}/${g.number}`,
                        g.usable);
    row.dataset.number = g.number;
    row.title = g.shard;
  }
}

function controls() {
  const on = (id, action) => document.getElementById(id).addEventListener("click", () => { stop(); action(); });
  on("first", () => show(0));
  on("back", () => show(at - 1));
  on("forward", () => show(at + 1));
  on("back-piece", () => show(pieceStep(-1)));
  on("forward-piece", () => show(pieceStep(1)));
  on("last", () => show(game.moves.length));
  document.getElementById("play").addEventListener("click", togglePlay);
  document.getElementById("slider").addEventListener("input", (e) => { stop(); show(Number(e.target.value)); });
  document.getElementById("jump").addEventListener("change", (e) => { stop(); show(Number(e.target.value)); });
  document.getElementById("heat").addEventListener("change", () => show(at));
  document.addEventListener("keydown", (e) => {
    if (!game || e.target.tagName === "INPUT" || e.target.tagName === "SELECT") return;
    const keys = {ArrowLeft: () => show(at - 1), ArrowRight: () => show(at + 1), PageUp: () => show(pieceStep(-1)),
                  PageDown: () => show(pieceStep(1)), Home: () => show(0), End: () => show(game.moves.length)};
    if (e.key === " ") { e.preventDefault(); togglePlay(); return; }
    if (keys[e.key]) { e.preventDefault(); stop(); keys[e.key](); }
  });
}

async function start() {
  nav("games");
  controls();
  pieces = (await getJSON("/api/pieces")).pieces;
  const runs = await getJSON("/api/runs");
  const select = document.getElementById("runs");
  runs.forEach((run) => element("option", {value: run.index}, select, `${run.name} (${run.path})`));
  select.value = runIndex;
  select.addEventListener("change", () => { location.search = `?run=${select.value}`; });
  const run = runs[runIndex];
  if (!run) {
    showError("no run folder: start the view with --run DIR");
    return;
  }
  const source = document.getElementById("source");
  for (const g of run.generations.slice().reverse()) element("option", {value: g}, source, `generation ${g}`);
  element("option", {value: "saved"}, source, `saved games (${run.saved})`);
  if (query("saved") !== null) source.value = "saved";
  else if (query("generation") !== null) source.value = query("generation");
  source.addEventListener("change", () => listGames().catch(showError));
  await listGames();
}

start().catch(showError);
