function tick() {
  document.getElementById("clock").textContent = new Date().toLocaleTimeString();
}
tick();
setInterval(tick, 1000);
