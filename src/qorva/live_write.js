"use strict";
// Changes from the live page and the served report: reviews of rows and acknowledgements of alarms.
// The token is kept for this browser tab only (sessionStorage) and sent in the Authorization header of each
// change, never in a cookie: a page of another site cannot make the browser send it.
window.qorvaWrite = (() => {
  const KEY = "qorva-token", WHO = "qorva-who";
  const token = () => sessionStorage.getItem(KEY) || "";
  const esc = (s) => String(s ?? "").replace(/[&<>"]/g, (c) => ({"&": "&amp;", "<": "&lt;", ">": "&gt;", '"': "&quot;"}[c]));

  async function post(path, body, withToken) {
    let r;
    try {
      r = await fetch(path, {method: "POST", cache: "no-store", body: JSON.stringify(body),
        headers: {"Content-Type": "application/json", "Authorization": "Bearer " + (withToken ?? token())}});
    } catch (e) {
      return {ok: false, error: "the job cannot be reached"};
    }
    try { return await r.json(); } catch (e) { return {ok: false, error: `HTTP ${r.status}`}; }
  }

  function say(text, bad) {
    const el = document.getElementById("write-msg");
    if (el) { el.textContent = text; el.className = bad ? "bad" : "done"; }
  }

  function signedIn() {
    document.body.classList.toggle("signed-in", !!token());
    const box = document.getElementById("signin");
    if (!box) return;
    if (token()) {
      box.innerHTML = `Signed in as <b>${esc(sessionStorage.getItem(WHO))}</b>: reviews and acknowledgements are` +
        ` recorded with this name. <button type="button" id="signout">sign out</button> <span id="write-msg"></span>`;
      document.getElementById("signout").onclick = () => { sessionStorage.clear(); signedIn(); };
      return;
    }
    box.innerHTML = `<form id="signin-form">Reviews and acknowledgements need a token:
      <input id="signin-token" type="password" autocomplete="off" placeholder="token" required>
      <input id="signin-who" placeholder="your name" maxlength="64"> <button>sign in</button>
      <span id="write-msg"></span></form>`;
    document.getElementById("signin-form").onsubmit = async (e) => {
      e.preventDefault();
      const tok = document.getElementById("signin-token").value.trim();
      const typed = document.getElementById("signin-who").value.trim();
      const doc = await post("/whoami", {}, tok);
      if (!doc.ok) { say(doc.error, true); return; }
      const who = doc.who || typed;
      if (!who) { say("this token is shared: give your name", true); return; }
      sessionStorage.setItem(KEY, tok);
      sessionStorage.setItem(WHO, who);
      signedIn();
    };
  }

  async function change(path, body, done) {
    const doc = await post(path, {...body, who: sessionStorage.getItem(WHO) || undefined});
    say(doc.ok ? doc.message : doc.error, !doc.ok);
    if (doc.ok && done) done(doc);
    return doc;
  }

  document.addEventListener("click", (e) => {
    const button = e.target.closest(".review button[data-decision], .ack button[data-alarm]");
    if (!button) return;
    const box = button.parentElement, note = box.querySelector("input");
    const body = {note: note && note.value ? note.value : undefined};
    if (button.dataset.alarm) {
      change("/alarm/ack", {...body, alarm: Number(button.dataset.alarm)}, () => { box.innerHTML = "acknowledged"; });
    } else {
      change("/review", {...body, row: Number(box.dataset.row), decision: button.dataset.decision}, (doc) => {
        box.outerHTML = `<span class="decided ${esc(doc.decision.decision)}">${esc(doc.decision.label)}</span>` +
          ` by ${esc(doc.decision.who)}`;
      });
    }
  });
  window.addEventListener("DOMContentLoaded", signedIn);
  if (document.readyState !== "loading") signedIn();
  return {token, post, change};
})();
