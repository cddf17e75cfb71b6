// The play page: a person takes one or more seats; the server referees and
// moves the computer seats. The person picks a piece (it comes turned to a
// side that fits), points at the board to see it placed and clicks once to
// place it; the server checks the placement against the rules and plays its
// tiles. The computers' turns run on unless the person steps through them.

import {Board, COLOURS, SEAT_NAMES, SIDE, drawSeats, element, getJSON, nav, orient, owners, pieceIcon, postJSON, query,
        shapeKey, showError, tileName, tilesToCells} from "./common.js";

const POLL_MS = 150;
// The orientations a piece is tried in when picked: four turns on each side.
const ORIENTATIONS = [false, true].flatMap((flipped) => [0, 1, 2, 3].map((turns) => ({turns, flipped})));
const WHY = {placed: "already placed", "no-fit": "does not fit anywhere legal now"};
const board = new Board(document.getElementById("board"));
let pieces = [];
let match = null;  // the server's state
let chosen = null;  // {piece, turns, flipped}
let drops = new Map();  // a placement's anchor tile -> its tiles, for the chosen orientation
let under = new Map();  // a board tile -> the placement shown when the pointer is on it
let polling = false;
let pollAgain = false;

function setState(name) {
  document.body.dataset.state = name;
}

// -- the chosen piece -----------------------------------------------------

function orientation(choice = chosen) {
  const shape = orient(pieces[choice.piece], choice.turns, choice.flipped);
  // The cell the pointer holds: the one nearest the shape's middle.
  const [mr, mc] = [0, 1].map((k) => shape.reduce((s, cell) => s + cell[k], 0) / shape.length);
  const handle = shape.reduce((best, cell) =>
    Math.hypot(cell[0] - mr, cell[1] - mc) < Math.hypot(best[0] - mr, best[1] - mc) ? cell : best);
  return {shape, handle, key: shapeKey(shape)};
}

function anchors(piece, turns, flipped) {
  const found = new Map();
  const {handle, key} = orientation({piece, turns, flipped});
  for (const [p, tiles] of match.placements) {
    if (p !== piece) continue;
    const cells = tilesToCells(tiles);
    if (shapeKey(cells) !== key) continue;
    const top = Math.min(...cells.map(([r]) => r));
    const left = Math.min(...cells.map(([, c]) => c));
    found.set((top + handle[0]) * SIDE + left + handle[1], tiles);
  }
  return found;
}

// Where each placement of the chosen orientation lies under the pointer:
// on any of its cells, the one whose anchor is nearest the pointer winning,
// so a click anywhere on a shaded fit places the piece shown.
function fitting() {
  drops = chosen ? anchors(chosen.piece, chosen.turns, chosen.flipped) : new Map();
  under = new Map();
  const distance = (a, b) => Math.hypot(Math.floor(a / SIDE) - Math.floor(b / SIDE), (a % SIDE) - (b % SIDE));
  for (const [anchor, tiles] of drops) {
    for (const tile of tiles) {
      const held = under.get(tile);
      if (!held || distance(tile, anchor) < distance(tile, held.anchor)) under.set(tile, {anchor, tiles});
    }
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

// The chosen piece where a click would place it; nothing off its fits.
function preview(tile) {
  for (const node of board.overlay.querySelectorAll(".preview")) node.remove();
  if (!chosen || tile === null || !under.has(tile)) return;
  board.mark(under.get(tile).tiles, "preview ok");
}

// A newly picked piece comes in its first orientation that fits; picking
// the chosen piece again keeps its orientation.
function choose(piece) {
  if (piece === null) {
    chosen = null;
  } else if (!chosen || chosen.piece !== piece) {
    const fits = ORIENTATIONS.find(({turns, flipped}) => anchors(piece, turns, flipped).size > 0);
    chosen = {piece, ...(fits || ORIENTATIONS[0])};
  }
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
  if (!chosen || !under.has(tile)) return;
  const {tiles} = under.get(tile);
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

// Each seat's latest piece: its last run of tiles in the history.
function latestPieces(history) {
  const tiles = [];
  const done = new Set();
  for (let i = history.length - 1; i >= 0; i--) {
    const seat = history[i][0];
    if (done.has(seat)) continue;
    tiles.push(history[i][1]);
    if (i === 0 || history[i - 1][0] !== seat) done.add(seat);
  }
  return tiles;
}

function render(state) {
  if (match && match.id === state.id && state.version <= match.version) return;  // nothing new, or an older answer
  match = state;
  document.body.dataset.version = state.version;
  board.setOwners(owners(state.history), latestPieces(state.history));
  board.clearOverlay();
  drawSeats(document.getElementById("seats"), {seats: state.seats, scores: state.scores, remaining: state.remaining,
    pieces, mover: state.over ? null : state.mover, payoff: state.payoff});
  document.getElementById("step-live").checked = state.step;
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
    const {seat, tile, tiles, shares} = state.pending;
    const text = `seat ${seat} (${state.seats[seat]}) will place ${tiles.length} cell(s) from ${tileName(tile)}`;
    document.getElementById("pending-text").textContent = text;
    // A search's shares are its visits; a policy seat's, the network's probabilities.
    board.heat(shares || [], tile, state.seats[seat].startsWith("search:") ? "the visits" : "the network's policy");
    board.mark(tiles, "coming");
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

// Every piece of the mover; those it cannot place now are greyed and say why.
function drawTray(state) {
  const tray = document.getElementById("tray");
  tray.replaceChildren();
  const counts = new Map();
  for (const [p] of state.placements) counts.set(p, (counts.get(p) || 0) + 1);
  const remaining = new Set(state.remaining[state.mover]);
  tray.parentElement.style.setProperty("--mover", COLOURS[state.mover]);
  for (let piece = 0; piece < pieces.length; piece++) {
    const why = !remaining.has(piece) ? "placed" : counts.has(piece) ? null : "no-fit";
    const size = pieces[piece].length;
    const title = why ? `${size} cells: ${WHY[why]}` : `${size} cells: ${counts.get(piece)} legal place(s)`;
    const button = element("button", {"data-piece": piece, "data-why": why || "fits", class: why || "fits", title},
                           tray);
    pieceIcon(button, orient(pieces[piece], 0, false), COLOURS[state.mover], 8);
    button.disabled = why !== null;
    button.addEventListener("click", () => choose(piece));
  }
  if (chosen && !counts.has(chosen.piece)) chosen = null;
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
      // A pending turn stays until it is let go, unless stepping was just
      // turned off: then the computer plays it at once.
      if (state.over || state.error || (state.pending && state.step) || personToMove(state)) break;
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
    const {id} = await postJSON("/api/matches", {seats, step: document.getElementById("step").checked});
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
  board.svg.addEventListener("wheel", (e) => {
    if (!chosen) return;
    e.preventDefault();
    turn(e.deltaY > 0 ? 1 : -1);
    preview(tileOf(e));
  }, {passive: false});
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
  document.getElementById("step-live").addEventListener("change", async (e) => {
    if (!match) return;
    await postJSON(`/api/matches/${match.id}/options`, {step: e.target.checked}).catch(showError);
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
  const run = query("run");
  const {players, default: opponent} = await getJSON(`/api/players${run !== null ? "?run=" + run : ""}`);
  const list = document.getElementById("players");
  for (const player of players) element("option", {value: player}, list);
  const inputs = document.getElementById("seat-inputs");
  for (let seat = 0; seat < 4; seat++) {
    const row = element("label", {class: "seat-input"}, inputs);
    element("span", {class: "swatch", style: `background:${COLOURS[seat]}`}, row);
    row.append(` seat ${seat} (${SEAT_NAMES[seat]}) `);
    element("input", {id: `seat-${seat}`, list: "players", value: seat === 0 ? "person" : opponent, size: 40}, row);
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
