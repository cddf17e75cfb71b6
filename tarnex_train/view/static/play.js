// The play page: a person takes one or more seats; the server referees and
// moves the computer seats. The person picks a piece, turns and flips it,
// sees where it fits and clicks to place it; the server checks the placement
// against the rules and plays its tiles.

import {Board, COLOURS, SEAT_NAMES, SIDE, drawSeats, element, getJSON, nav, orient, owners, pieceIcon, postJSON, query,
        shapeKey, showError, tileName, tilesToCells} from "./common.js";

const POLL_MS = 250;
const board = new Board(document.getElementById("board"));
let pieces = [];
let match = null;  // the server's state
let chosen = null;  // {piece, turns, flipped}
let drops = new Map();  // tile under the pointer -> placement tiles, for the chosen orientation
let polling = false;
let pollAgain = false;

function setState(name) {
  document.body.dataset.state = name;
}

// -- the chosen piece -----------------------------------------------------

function orientation() {
  const shape = orient(pieces[chosen.piece], chosen.turns, chosen.flipped);
  // The cell the pointer holds: the one nearest the shape's middle.
  const [mr, mc] = [0, 1].map((k) => shape.reduce((s, cell) => s + cell[k], 0) / shape.length);
  const handle = shape.reduce((best, cell) =>
    Math.hypot(cell[0] - mr, cell[1] - mc) < Math.hypot(best[0] - mr, best[1] - mc) ? cell : best);
  return {shape, handle, key: shapeKey(shape)};
}

function fitting() {
  drops = new Map();
  if (!chosen) return;
  const {handle, key} = orientation();
  for (const [piece, tiles] of match.placements) {
    if (piece !== chosen.piece) continue;
    const cells = tilesToCells(tiles);
    if (shapeKey(cells) !== key) continue;
    const top = Math.min(...cells.map(([r]) => r));
    const left = Math.min(...cells.map(([, c]) => c));
    drops.set((top + handle[0]) * SIDE + left + handle[1], tiles);
  }
}

function drawChoice() {
  fitting();
  board.clearOverlay();
  const selected = document.getElementById("selected");
  selected.replaceChildren();
  const fits = document.getElementById("fits");
  if (!chosen) {
    fits.textContent = "";
    return;
  }
  pieceIcon(selected, orientation().shape, COLOURS[match.mover], 22);
  board.svg.style.setProperty("--mover", COLOURS[match.mover]);
  const covered = new Set([...drops.values()].flat());
  board.mark(covered, "legal");
  board.mark(drops.keys(), "drop", (tile) => ({"data-placement": drops.get(tile).join(",")}));
  const anywhere = match.placements.filter(([p]) => p === chosen.piece).length;
  fits.textContent = `${drops.size} place(s) for this side and turn; ${anywhere} for the piece in all`;
  fits.dataset.fits = drops.size;
}

function preview(tile) {
  for (const node of board.overlay.querySelectorAll(".preview")) node.remove();
  if (!chosen || tile === null) return;
  const placement = drops.get(tile);
  if (placement) {
    board.mark(placement, "preview ok");
    return;
  }
  const {shape, handle} = orientation();
  const [r0, c0] = [Math.floor(tile / SIDE) - handle[0], tile % SIDE - handle[1]];
  const cells = shape.map(([r, c]) => [r + r0, c + c0]).filter(([r, c]) => r >= 0 && r < SIDE && c >= 0 && c < SIDE);
  board.mark(cells.map(([r, c]) => r * SIDE + c), "preview bad");
}

function choose(piece) {
  chosen = piece === null ? null : {piece, turns: 0, flipped: false};
  for (const button of document.querySelectorAll("#tray button")) {
    button.classList.toggle("chosen", Number(button.dataset.piece) === piece);
  }
  drawChoice();
}

function turn(by) {
  if (!chosen) return;
  chosen.turns = (chosen.turns + by + 4) % 4;
  drawChoice();
}

function flip() {
  if (!chosen) return;
  chosen.flipped = !chosen.flipped;
  drawChoice();
}

async function place(tile) {
  const tiles = drops.get(tile);
  if (!chosen || !tiles) return;
  try {
    const state = await postJSON(`/api/matches/${match.id}/move`, {piece: chosen.piece, cells: tiles});
    chosen = null;
    render(state);
    showError(null);
    poll();
  } catch (error) {
    showError(error);
  }
}

// -- the match ------------------------------------------------------------

function personToMove(state) {
  return !state.over && state.persons[state.mover] && !state.error;
}

function render(state) {
  if (match && match.id === state.id && state.version <= match.version) return;  // nothing new, or an older answer
  match = state;
  document.body.dataset.version = state.version;
  const last = state.history.length ? [state.history[state.history.length - 1][1]] : [];
  board.setOwners(owners(state.history), last);
  board.clearOverlay();
  drawSeats(document.getElementById("seats"), {seats: state.seats, scores: state.scores, remaining: state.remaining,
    pieces, mover: state.over ? null : state.mover, payoff: state.payoff});
  document.getElementById("show-shares-live").checked = state.show_shares;
  const pending = document.getElementById("pending");
  pending.hidden = !state.pending;
  const hand = document.getElementById("hand");
  const status = document.getElementById("status");
  const who = `seat ${state.mover} (${SEAT_NAMES[state.mover]}, ${state.seats[state.mover]})`;
  document.getElementById("result").hidden = !state.over;
  if (state.error) {
    status.textContent = state.error;
    setState("error");
  } else if (state.over) {
    hand.hidden = true;
    const best = Math.max(...state.scores);
    const winners = state.scores.map((s, seat) => (s === best ? `${seat} ${SEAT_NAMES[seat]}` : null)).filter(Boolean);
    const verb = winners.length > 1 ? "share" : "wins";
    document.getElementById("winner").textContent = `Game over: ${winners.join(" and ")} ${verb}`;
    const payoffs = state.payoff.map((p) => p.toFixed(2)).join(" / ");
    status.textContent = `scores ${state.scores.join(" / ")}, payoffs ${payoffs}`;
    const saved = document.getElementById("saved");
    saved.replaceChildren();
    if (state.saved) {
      const href = `/games?run=${state.saved.run}&saved=${encodeURIComponent(state.saved.name)}`;
      element("a", {href, id: "saved-link"}, saved, `saved as ${state.saved.name}: replay it`);
    }
    setState("over");
  } else if (state.pending) {
    const {seat, tile, shares} = state.pending;
    const text = `seat ${seat} (${state.seats[seat]}) will play ${tileName(tile)}`;
    document.getElementById("pending-text").textContent = text;
    board.heat(shares || [], tile);
    status.textContent = `${who} to move`;
    setState("pending");
  } else if (personToMove(state)) {
    hand.hidden = false;
    status.textContent = `your move: ${who}`;
    drawTray(state);
    setState("person");
  } else {
    hand.hidden = true;
    status.textContent = `${who} is thinking…`;
    setState("computer");
  }
}

function drawTray(state) {
  const tray = document.getElementById("tray");
  tray.replaceChildren();
  const playable = new Set(state.placements.map(([p]) => p));
  for (const piece of state.remaining[state.mover]) {
    const button = element("button", {"data-piece": piece, title: `piece ${piece}`}, tray);
    pieceIcon(button, orient(pieces[piece], 0, false), COLOURS[state.mover], 8);
    button.disabled = !playable.has(piece);
    button.addEventListener("click", () => choose(piece));
  }
  if (chosen && !playable.has(chosen.piece)) chosen = null;
  choose(chosen ? chosen.piece : null);
}

// Follows the match until the person has something to do. A call while a
// poll is under way makes that one ask again: its answer may be older than
// whatever the caller just changed.
async function poll() {
  if (polling) {
    pollAgain = true;
    return;
  }
  polling = true;
  try {
    while (match) {
      pollAgain = false;
      const state = await getJSON(`/api/matches/${match.id}`);
      render(state);
      if (pollAgain) continue;
      // A pending move stays until it is let go, unless showing them was
      // just turned off: then the computer plays it at once.
      if (state.over || state.error || (state.pending && state.show_shares) || personToMove(state)) break;
      await new Promise((resolve) => setTimeout(resolve, POLL_MS));
    }
    showError(null);
  } catch (error) {
    showError(error);
  } finally {
    polling = false;
  }
}

async function goOn() {
  if (!match || !match.pending) return;
  try {
    await postJSON(`/api/matches/${match.id}/next`, {});
    match = {...match, version: -1};
    await poll();
  } catch (error) {
    showError(error);
  }
}

async function startMatch() {
  const seats = [0, 1, 2, 3].map((seat) => document.getElementById(`seat-${seat}`).value.trim());
  setState("starting");
  try {
    const {id} = await postJSON("/api/matches", {seats, show_shares: document.getElementById("show-shares").checked});
    document.body.dataset.match = id;
    const address = new URLSearchParams(location.search);
    address.set("match", id);
    history.replaceState(null, "", `/play?${address}`);
    match = {id, version: -1};
    chosen = null;
    document.getElementById("setup").hidden = true;
    document.getElementById("game").hidden = false;
    showError(null);
    await poll();
  } catch (error) {
    setState("setup");
    showError(error);
  }
}

function controls() {
  const tileOf = (e) => (e.target.dataset.tile !== undefined ? Number(e.target.dataset.tile) : null);
  board.svg.addEventListener("mousemove", (e) => preview(tileOf(e)));
  board.svg.addEventListener("mouseleave", () => preview(null));
  board.svg.addEventListener("click", (e) => {
    if (tileOf(e) !== null) place(tileOf(e));
  });
  document.getElementById("turn").addEventListener("click", () => turn(1));
  document.getElementById("turn-back").addEventListener("click", () => turn(-1));
  document.getElementById("flip").addEventListener("click", flip);
  document.getElementById("go-on").addEventListener("click", goOn);
  document.getElementById("start").addEventListener("click", startMatch);
  document.getElementById("again").addEventListener("click", () => {
    match = null;
    document.getElementById("game").hidden = true;
    document.getElementById("setup").hidden = false;
    setState("setup");
  });
  document.getElementById("save").addEventListener("click", async () => {
    try {
      await postJSON(`/api/matches/${match.id}/save`, {run: Number(query("run") || 0)});
      match = {...match, version: -1};
      await poll();
    } catch (error) {
      showError(error);
    }
  });
  document.getElementById("show-shares-live").addEventListener("change", async (e) => {
    if (!match) return;
    await postJSON(`/api/matches/${match.id}/options`, {show_shares: e.target.checked}).catch(showError);
    match = {...match, version: -1};
    poll();
  });
  document.addEventListener("keydown", (e) => {
    if (e.target.tagName === "INPUT") return;
    const keys = {r: () => turn(1), e: () => turn(-1), f: flip, n: goOn, Enter: goOn, Escape: () => choose(null)};
    const action = keys[e.key.length === 1 ? e.key.toLowerCase() : e.key];
    if (action) { e.preventDefault(); action(); }
  });
}

async function start() {
  nav("play");
  controls();
  pieces = (await getJSON("/api/pieces")).pieces;
  const {players} = await getJSON("/api/players");
  const list = document.getElementById("players");
  for (const player of players) element("option", {value: player}, list);
  const inputs = document.getElementById("seat-inputs");
  for (let seat = 0; seat < 4; seat++) {
    const row = element("label", {class: "seat-input"}, inputs);
    element("span", {class: "swatch", style: `background:${COLOURS[seat]}`}, row);
    row.append(` seat ${seat} (${SEAT_NAMES[seat]}) `);
    element("input", {id: `seat-${seat}`, list: "players", value: seat === 0 ? "person" : "greedy", size: 40}, row);
  }
  const resumed = query("match");
  if (resumed) {
    match = {id: resumed, version: -1};
    document.getElementById("setup").hidden = true;
    document.getElementById("game").hidden = false;
    await poll();
  }
}

start().catch(showError);
